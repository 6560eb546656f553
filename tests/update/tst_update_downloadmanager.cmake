vanteo_add_test(tst_update_downloadmanager SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_update_downloadmanager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HttpsTestServer.h LIBS vanteo_update Qt5::Network TIMEOUT 120)
target_compile_definitions(tst_update_downloadmanager PRIVATE
  VANTEO_HTTPS_SERVER_PY="${CMAKE_SOURCE_DIR}/tests/update/https_server.py")
