include_guard(GLOBAL)

# The one version: the programs' --version, the resource script's version information,
# the dialogs' product name, the man pages and the release artefacts all read it.
set(SPARWICK_PRODUCT_NAME "Brumetor Sparwick v${PROJECT_VERSION}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/generated/SparwickVersion.h CONTENT [[
// Generated from the project's version by cmake/SparwickVersion.cmake.
#pragma once

namespace sparwick {

inline constexpr const char* productName = "@SPARWICK_PRODUCT_NAME@";
inline constexpr const char* versionText = "@PROJECT_VERSION@";

} // namespace sparwick
]] @ONLY)
add_library(sparwick_version INTERFACE)
target_include_directories(sparwick_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
