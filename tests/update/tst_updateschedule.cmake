vanteo_add_test(tst_updateschedule SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_updateschedule.cpp LIBS vanteo_update)
