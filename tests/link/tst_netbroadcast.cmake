vanteo_add_test(tst_netbroadcast SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_netbroadcast.cpp LIBS vanteo_link TIMEOUT 60)
