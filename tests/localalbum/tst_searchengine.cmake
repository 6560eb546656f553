vanteo_add_test(tst_searchengine SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_searchengine.cpp LIBS vanteo_platform TIMEOUT 60)
