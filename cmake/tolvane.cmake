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

# tolvane_folder_library(NAME DEPS ... [TEST_DEPS ...]): the folder's *.cpp
# files (tests excluded) as the library NAME, and its *_test.cpp files as the
# test binary NAME_tests.
function(tolvane_folder_library name)
  cmake_parse_arguments(T "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  tolvane_library(${name} SOURCES ${sources} DEPS ${T_DEPS})
  if(tests)
    tolvane_test(${name}_tests SOURCES ${tests} DEPS ${name} tolvane_testing ${T_TEST_DEPS})
  endif()
endfunction()
