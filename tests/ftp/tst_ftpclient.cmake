vanteo_add_test(tst_ftpclient SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ftpclient.cpp LIBS vanteo_ftp Qt5::Network TIMEOUT 120)
target_compile_definitions(tst_ftpclient PRIVATE VANTEO_FTPSERVER_PY="${CMAKE_SOURCE_DIR}/tests/ftp/ftpserver.py")
