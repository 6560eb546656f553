vanteo_add_test(tst_muploadthread SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_muploadthread.cpp LIBS vanteo_backup Qt5::Network TIMEOUT 120)
target_compile_definitions(tst_muploadthread PRIVATE VANTEO_FTPSERVER_PY="${CMAKE_SOURCE_DIR}/tests/ftp/ftpserver.py")
