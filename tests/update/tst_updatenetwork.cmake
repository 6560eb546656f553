vanteo_add_test(tst_updatenetwork SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_updatenetwork.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HttpsTestServer.h LIBS vanteo_update Qt5::Network TIMEOUT 180)
target_compile_definitions(tst_updatenetwork PRIVATE
  VANTEO_HTTPS_SERVER_PY="${CMAKE_SOURCE_DIR}/tests/update/https_server.py")
