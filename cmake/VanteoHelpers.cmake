# vanteo_add_library(<name> [WIDGETS] SOURCES ... LIBS ...)
# A static library of ours with the shared compiler settings.
function(vanteo_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC vanteo_options ${ARG_LIBS})
endfunction()

# vanteo_add_test(<name> SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...] [DEPENDS programs...])
# One test program per unit; runs offscreen with a pinned locale. DEPENDS names programs the test
# starts, so they are built before it.
function(vanteo_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin)
  target_link_libraries(${name} PRIVATE vanteo_options vanteo_testsupport Qt5::Test ${ARG_LIBS})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;LANG=C.UTF-8;VANTEO_BIN_DIR=${CMAKE_BINARY_DIR}/bin;VANTEO_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    LABELS "${ARG_LABELS}")
endfunction()

# vanteo_glob_library(<name> <dir> LIBS ...)
# A library made of every .cpp/.h/.ui file of one folder; nothing is made while the folder is empty.
function(vanteo_glob_library name dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h ${dir}/*.ui)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  set(has_cpp FALSE)
  foreach(s ${srcs})
    if(s MATCHES "\\.cpp$")
      set(has_cpp TRUE)
    endif()
  endforeach()
  if(has_cpp)
    set(libs)
    foreach(l ${ARG_LIBS})
      # Libraries of other subsystems are linked once they exist.
      if(l MATCHES "^vanteo_" AND NOT TARGET ${l})
        continue()
      endif()
      list(APPEND libs ${l})
    endforeach()
    vanteo_add_library(${name} SOURCES ${srcs} LIBS ${libs})
  endif()
endfunction()
