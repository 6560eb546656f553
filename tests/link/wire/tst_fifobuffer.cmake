vanteo_add_test(tst_fifobuffer SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_fifobuffer.cpp LIBS vanteo_wire)
