vanteo_add_test(tst_singleinstance SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_singleinstance.cpp LIBS vanteo_platform)
