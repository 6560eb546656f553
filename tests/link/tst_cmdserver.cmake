vanteo_add_test(tst_cmdserver SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cmdserver.cpp
  LIBS vanteo_link vanteo_backup vanteo_wire vanteo_settings vanteo_platform Qt5::Network Qt5::Sql TIMEOUT 180)
