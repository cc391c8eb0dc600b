# sparwick_check_firmware_file(PATH): refuses, when the build is configured, a firmware
# image that is missing, that the assembler cannot be given by name, or that the
# largest supported part could not hold.
#
# On its own: cmake -DSPARWICK_FIRMWARE=FILE -P FirmwareFile.cmake
include_guard(GLOBAL)

# Flash of the 27-sector part: its last sector ends at 0x7CFFF.
set(SPARWICK_FIRMWARE_MAX_SIZE 512000)

function(sparwick_check_firmware_file path)
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        message(FATAL_ERROR "SPARWICK_FIRMWARE: the firmware image ${path} does not exist "
                            "or is not a file.")
    endif()
    if(path MATCHES "[\"\\\\\n]")
        message(FATAL_ERROR "SPARWICK_FIRMWARE: the path ${path} contains a quote, a "
                            "backslash or a line end; give the image a plainer path.")
    endif()
    file(SIZE "${path}" size)
    if(size GREATER SPARWICK_FIRMWARE_MAX_SIZE)
        message(FATAL_ERROR "SPARWICK_FIRMWARE: the firmware image ${path} is ${size} bytes; "
                            "the largest flash Sparwick writes holds "
                            "${SPARWICK_FIRMWARE_MAX_SIZE} bytes.")
    endif()
    message(STATUS "Firmware image: ${path} (${size} bytes)")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    sparwick_check_firmware_file("${SPARWICK_FIRMWARE}")
endif()
