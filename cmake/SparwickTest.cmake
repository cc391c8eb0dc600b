# sparwick_add_test(NAME LABEL label [TIMEOUT seconds] SOURCES ... [LIBS ...])
#
# One GoogleTest executable whose cases are registered with CTest one by one, each with
# the label and a time-out of its own, so that no case can hang the suite.
include_guard(GLOBAL)

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
