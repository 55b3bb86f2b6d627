# Fails the build when a firmware image outgrows its room (the boot section).
file(SIZE ${FILE} size)
if(size GREATER MAX_SIZE)
    message(FATAL_ERROR "${FILE}: ${size} bytes, more than the ${MAX_SIZE} it may take")
endif()
message(STATUS "${FILE}: ${size} of ${MAX_SIZE} bytes")
