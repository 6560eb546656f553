vanteo_add_test(tst_mobileform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mobileform.cpp
  LIBS vanteo_link_pages vanteo_backup vanteo_resources Qt5::Widgets)
