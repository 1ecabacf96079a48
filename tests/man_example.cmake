# Runs one man-page example in a scratch directory, which is also its HOME,
# so that a default trace file lands there. With -DEXPECT=<file> its
# standard output must equal that file.
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
set(ENV{HOME} ${WORKDIR})
execute_process(COMMAND ${PROGRAM}
  WORKING_DIRECTORY ${WORKDIR}
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE rc
  TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}\n${out}${err}")
endif()
if(EXPECT)
  file(READ ${EXPECT} want)
  if(NOT out STREQUAL want)
    message(FATAL_ERROR "${PROGRAM} printed\n${out}\ninstead of\n${want}")
  endif()
endif()
