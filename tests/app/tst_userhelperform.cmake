# The help page is compiled in directly, so this test does not depend on the rest of the shell.
vanteo_add_test(tst_userhelperform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_userhelperform.cpp
          ${CMAKE_SOURCE_DIR}/app/UserHelperForm.cpp ${CMAKE_SOURCE_DIR}/app/UserHelperForm.h
          ${CMAKE_SOURCE_DIR}/app/UserHelperForm.ui
  LIBS vanteo_platform vanteo_resources Qt5::Widgets)
