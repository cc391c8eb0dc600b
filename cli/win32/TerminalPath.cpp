#include "cli/TerminalPath.h"

namespace sparwick::cli {

// A Windows serial port is reached by its COM name alone.
PortPath examinePortPath(const std::string&) {
    return PortPath::notTerminal;
}

bool isStandardStreamDevice(const std::string&) {
    return false;
}

bool namesFileHere(const std::string&) {
    return false;
}

const char* otherPortsHint() {
    return "a port of a higher number cannot be selected";
}

} // namespace sparwick::cli
