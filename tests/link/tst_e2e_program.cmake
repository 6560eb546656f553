vanteo_add_test(tst_e2e_program SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_e2e_program.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eSupport.h
  LIBS vanteo_settings vanteo_platform Qt5::Network Qt5::Sql Qt5::Gui TIMEOUT 240)
foreach(_dep phonesim vanteoalbum)
  if(TARGET ${_dep})
    add_dependencies(tst_e2e_program ${_dep})
  endif()
endforeach()
