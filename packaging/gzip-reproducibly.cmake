# cmake -DGZIP=gzip -DINPUT=FILE -DOUTPUT=FILE.gz -P gzip-reproducibly.cmake
# Compresses INPUT at level 9 without its name or time stamp in the header
# (gzip -9n), into a file beside OUTPUT that is renamed onto it when whole.
execute_process(COMMAND ${GZIP} -9n -c ${INPUT} OUTPUT_FILE ${OUTPUT}.part RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${GZIP} -9n ${INPUT}: ${status}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
