#include "cli/TerminalPath.h"

namespace sparwick::cli {

// A Windows serial port is reached by its COM name alone.
bool isTerminalPath(const std::string&) {
    return false;
}

} // namespace sparwick::cli
