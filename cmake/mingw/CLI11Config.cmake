# CLI11 for the cross build. The library is header-only, so Debian's headers
# (libcli11-dev) serve Windows as well; they are offered through a directory that holds
# nothing else, because adding /usr/include itself would put glibc's headers in front of
# mingw-w64's.
set(sparwick_cli11_headers /usr/include/CLI)
if(NOT EXISTS ${sparwick_cli11_headers}/CLI.hpp)
    set(CLI11_FOUND FALSE)
    set(CLI11_NOT_FOUND_MESSAGE "CLI11's headers are missing: install libcli11-dev")
    return()
endif()

set(sparwick_cli11_dir ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${sparwick_cli11_dir})
if(NOT EXISTS ${sparwick_cli11_dir}/CLI)
    file(CREATE_LINK ${sparwick_cli11_headers} ${sparwick_cli11_dir}/CLI SYMBOLIC)
endif()

if(NOT TARGET CLI11::CLI11)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    set_target_properties(CLI11::CLI11 PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${sparwick_cli11_dir})
endif()
