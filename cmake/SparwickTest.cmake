# Every test of the project is registered through one of these two, so that each has a
# label and a time-out of its own and no test can hang the suite.
include_guard(GLOBAL)

# sparwick_add_test(NAME LABEL label [TIMEOUT seconds] SOURCES ... [LIBS ...])
#
# One GoogleTest executable whose cases are registered with CTest one by one.
function(sparwick_add_test name)
    cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 60)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main
                                          sparwick_warnings)
    include(GoogleTest)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
endfunction()

# sparwick_add_command_test(NAME LABEL label [TIMEOUT seconds] COMMAND command [args...]
#                           [PASS_REGULAR_EXPRESSION regex]
#                           [FIXTURES_SETUP ...] [FIXTURES_REQUIRED ...] [FIXTURES_CLEANUP ...]
#                           [RESOURCE_LOCK ...])
#
# One test that runs a command: a program of the build, cmake -P, a driver script. It
# passes on exit status 0, or, given PASS_REGULAR_EXPRESSION, when its output matches.
function(sparwick_add_command_test name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "LABEL;TIMEOUT;PASS_REGULAR_EXPRESSION"
        "COMMAND;FIXTURES_SETUP;FIXTURES_REQUIRED;FIXTURES_CLEANUP;RESOURCE_LOCK")
    if(NOT ARG_LABEL OR NOT ARG_COMMAND)
        message(FATAL_ERROR "sparwick_add_command_test(${name}): LABEL and COMMAND are required")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 60)
    endif()
    add_test(NAME ${name} COMMAND ${ARG_COMMAND})
    set_tests_properties(${name} PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
    foreach(property PASS_REGULAR_EXPRESSION FIXTURES_SETUP FIXTURES_REQUIRED FIXTURES_CLEANUP
                     RESOURCE_LOCK)
        if(DEFINED ARG_${property})
            set_tests_properties(${name} PROPERTIES ${property} "${ARG_${property}}")
        endif()
    endforeach()
endfunction()
