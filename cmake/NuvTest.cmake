# nuv_add_test(name SOURCES a_test.cpp ... LIBS lib ...)
# Builds one GoogleTest binary beside the code it tests and registers its
# cases with CTest. Tests find the repository's test data through
# NUV_SOURCE_DIR and may write under NUV_TEST_TMP.
function(nuv_add_test name)
  if(NOT NUV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    NUV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    NUV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# nuv_add_fuzzer(name SOURCES fuzz_x.cpp ... LIBS lib ...)
# A fuzz target defines LLVMFuzzerTestOneInput. In the fuzz build
# (-DNUV_FUZZ=ON with clang) it is linked with libFuzzer and run by
# scripts/fuzz.sh for a bounded time. In the other builds it is linked with a
# small deterministic driver (random and truncated inputs, fixed seed) and
# registered as a regular test, so the sanitizer build exercises it too.
option(NUV_FUZZ "Build libFuzzer targets (clang only)" OFF)
set_property(GLOBAL PROPERTY NUV_FUZZ_TARGETS "")
function(nuv_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NUV_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    set_property(GLOBAL APPEND PROPERTY NUV_FUZZ_TARGETS ${name})
  elseif(NUV_BUILD_TESTS)
    add_executable(${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/common/fuzz_driver_main.cpp)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    add_test(NAME ${name} COMMAND ${name} 20000)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# nuv_check_no_test_code(target ...)
# Registers a test that lists the symbols of each shipped program or product
# library and fails when test or simulator helpers were linked into it.
function(nuv_check_no_test_code)
  if(NOT NUV_BUILD_TESTS)
    return()
  endif()
  foreach(t ${ARGN})
    add_test(NAME ${t}_holds_no_test_code
             COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DFILE=$<TARGET_FILE:${t}>
                     -DTEST_HOOKS=${NUV_TEST_HOOKS}
                     -P ${CMAKE_SOURCE_DIR}/cmake/check_no_test_code.cmake)
  endforeach()
endfunction()
