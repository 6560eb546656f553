vanteo_add_test(tst_localdatabase SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_localdatabase.cpp
  LIBS vanteo_backup Qt5::Sql Qt5::Concurrent TIMEOUT 180)
