vanteo_add_test(tst_phonesim SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_phonesim.cpp
  LIBS vanteo_wire Qt5::Network TIMEOUT 180)
if(TARGET phonesim)
  add_dependencies(tst_phonesim phonesim)
endif()
