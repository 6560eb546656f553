vanteo_add_test(tst_qrcode SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qrcode.cpp LIBS vanteo_link Qt5::Gui)
