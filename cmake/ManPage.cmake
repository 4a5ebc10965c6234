# Writes OUTPUT, a gzipped manual page: from INPUT as it is, or made by
# help2man from PROGRAM's --help and --version. gzip -n keeps no name or
# time, so the page is the same from build to build.
if(PROGRAM)
  execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name=${SUMMARY} ${PROGRAM}
                  OUTPUT_VARIABLE page RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}")
  endif()
  file(WRITE ${OUTPUT}.in "${page}")
  set(INPUT ${OUTPUT}.in)
endif()
execute_process(COMMAND gzip -9n -c INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${INPUT}")
endif()
