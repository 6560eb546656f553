vanteo_add_test(tst_crashhandler SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_crashhandler.cpp LIBS vanteo_platform)
# Exported symbols put function names into the backtrace the test looks for.
set_target_properties(tst_crashhandler PROPERTIES ENABLE_EXPORTS ON)
