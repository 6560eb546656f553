vanteo_add_test(tst_readwritesetting SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_readwritesetting.cpp LIBS vanteo_settings Qt5::Xml Qt5::Concurrent)
