vanteo_add_test(tst_tcpsocket SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tcpsocket.cpp LIBS vanteo_wire TIMEOUT 180)
