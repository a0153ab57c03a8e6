# Runs one program on a fixed input and checks that it succeeds and prints
# an expected piece of text. Used by CTest for the native drivers:
#   cmake -DEXE=<program> [-DARGS=a;b] [-DINPUT=<stdin text>] -DEXPECT=<text> -P smoke_run.cmake
string(MD5 _tag "${EXE};${ARGS};${INPUT}")
set(_input "${CMAKE_CURRENT_BINARY_DIR}/smoke-${_tag}.in")
file(WRITE "${_input}" "${INPUT}")
execute_process(COMMAND "${EXE}" ${ARGS} INPUT_FILE "${_input}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
file(REMOVE "${_input}")
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${EXE} ${ARGS} exited with ${_rc}\n${_err}")
endif()
string(FIND "${_out}" "${EXPECT}" _at)
if(_at EQUAL -1)
  message(FATAL_ERROR "${EXE} ${ARGS} did not print '${EXPECT}':\n${_out}")
endif()
