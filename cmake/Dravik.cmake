# dravik_test(<name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest binary, registered with CTest test by test.
function(dravik_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# dravik_benchmark(<name> SOURCES <files...> LIBS <targets...>)
function(dravik_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/Signing.cmake)
