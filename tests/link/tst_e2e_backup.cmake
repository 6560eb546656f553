vanteo_add_test(tst_e2e_backup SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_e2e_backup.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eSupport.h
  LIBS vanteo_link vanteo_backup vanteo_wire vanteo_settings vanteo_platform Qt5::Network Qt5::Sql Qt5::Gui TIMEOUT 240)
if(TARGET phonesim)
  add_dependencies(tst_e2e_backup phonesim)
endif()
