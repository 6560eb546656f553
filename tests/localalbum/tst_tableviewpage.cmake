vanteo_add_test(tst_tableviewpage SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tableviewpage.cpp
  LIBS vanteo_localalbum_pages Qt5::Widgets)
