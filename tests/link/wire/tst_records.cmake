vanteo_add_test(tst_records SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_records.cpp LIBS vanteo_wire)
