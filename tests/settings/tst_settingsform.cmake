vanteo_add_test(tst_settingsform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_settingsform.cpp
  LIBS vanteo_settings_pages vanteo_resources Qt5::Widgets)
