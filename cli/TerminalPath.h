#pragma once

#include <string>

namespace sparwick::cli {

// Whether path names a terminal that --port can use in place of a COM name. Only POSIX
// systems name their serial devices by path; on Windows a port always goes by its name.
bool isTerminalPath(const std::string& path);

} // namespace sparwick::cli
