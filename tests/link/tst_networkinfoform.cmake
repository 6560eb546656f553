vanteo_add_test(tst_networkinfoform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_networkinfoform.cpp
  LIBS vanteo_link_pages vanteo_resources Qt5::Widgets Qt5::Network)
