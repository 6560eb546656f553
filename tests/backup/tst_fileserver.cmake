vanteo_add_test(tst_fileserver SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_fileserver.cpp LIBS vanteo_backup TIMEOUT 240)
