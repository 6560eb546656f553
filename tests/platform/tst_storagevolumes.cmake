vanteo_add_test(tst_storagevolumes SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_storagevolumes.cpp LIBS vanteo_platform)
