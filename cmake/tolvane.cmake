# Helpers shared by every folder's CMakeLists.txt.

# tolvane_library(NAME SOURCES a.cpp b.cpp DEPS lib1 lib2)
function(tolvane_library name)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${T_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${T_DEPS})
endfunction()

# tolvane_test(NAME SOURCES a_test.cpp DEPS lib1): one GoogleTest binary whose
# cases CTest lists one by one.
function(tolvane_test name)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    # One variable per property: a list value would lose its separator on the
    # way into the discovered tests.
    PROPERTIES ENVIRONMENT "TOLVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
               ENVIRONMENT_MODIFICATION "TOLVANE_BUILD_DIR=set:${PROJECT_BINARY_DIR}")
endfunction()

# tolvane_folder_library(NAME [MATCH regex] [EXCLUDE regex] DEPS ...): a
# library of the folder's *.cpp files (tests excluded) whose names match
# MATCH and not EXCLUDE, and a test binary NAME_tests of the matching
# *_test.cpp files. Nothing is made while the folder has no such sources.
function(tolvane_folder_library name)
  cmake_parse_arguments(T "" "MATCH;EXCLUDE" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(sources ${all})
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  set(tests ${all})
  list(FILTER tests INCLUDE REGEX "_test\\.cpp$")
  foreach(var sources tests)
    if(T_MATCH)
      list(FILTER ${var} INCLUDE REGEX "${T_MATCH}")
    endif()
    if(T_EXCLUDE)
      list(FILTER ${var} EXCLUDE REGEX "${T_EXCLUDE}")
    endif()
  endforeach()
  if(sources)
    tolvane_library(${name} SOURCES ${sources} DEPS ${T_DEPS})
    if(tests)
      tolvane_test(${name}_tests SOURCES ${tests} DEPS ${name} tolvane_testing ${T_TEST_DEPS})
    endif()
  endif()
endfunction()
