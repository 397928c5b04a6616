# cmake -DNM=nm -DFILE=<program or library> [-DTEST_HOOKS=OFF] -P check_no_test_code.cmake
# Fails when a shipped program (or a product library) holds code that only
# tests and simulators may link: the virtual clock, the test support, hooks
# named ...ForTest, the simulators' port option and stop signal helpers. In a
# build without the test hooks it also fails when the program still names a
# NUV4ONDEKO_TEST_* environment variable.
execute_process(COMMAND ${NM} -C ${FILE} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR symbols STREQUAL "")
  message(FATAL_ERROR "cannot list the symbols of ${FILE}")
endif()
string(REGEX MATCHALL
       "[^\n]*(VirtualClock|ForTest|nuv::test::|ParsePortArg|BlockStopSignals|WaitForStopSignal)[^\n]*"
       hits "${symbols}")
if(hits)
  list(JOIN hits "\n" text)
  message(FATAL_ERROR "${FILE} holds test or simulator code:\n${text}")
endif()
if(DEFINED TEST_HOOKS AND NOT TEST_HOOKS)
  file(STRINGS ${FILE} hooks REGEX "NUV4ONDEKO_TEST_")
  if(hooks)
    message(FATAL_ERROR "${FILE} still reads test hooks without NUV_TEST_HOOKS: ${hooks}")
  endif()
endif()
message(STATUS "${FILE}: no test or simulator code")
