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
    PROPERTIES ENVIRONMENT "TOLVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR};TOLVANE_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
