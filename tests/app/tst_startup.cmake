vanteo_add_test(tst_startup SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_startup.cpp LIBS vanteo_app TIMEOUT 180)
# The real program is started twice by the test.
add_dependencies(tst_startup vanteoalbum)
