# cmake -DPROGRAM=... -DOPTION=... -DEXPECTED=REGEX -P ExpectAnswer.cmake
# Fails unless PROGRAM OPTION exits 0, writes nothing to standard error, and
# its standard output matches REGEX.
execute_process(COMMAND ${PROGRAM} ${OPTION} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${PROGRAM} ${OPTION} ended with ${status}\n${err}")
endif()
if(NOT err STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} ${OPTION} wrote to standard error:\n${err}")
endif()
if(NOT out MATCHES "${EXPECTED}")
    message(FATAL_ERROR "${PROGRAM} ${OPTION} printed\n${out}\nwhich does not match ${EXPECTED}")
endif()
