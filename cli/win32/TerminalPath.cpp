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

namespace sparwick::cli {

// COM names are not case-sensitive on Windows.
std::string deviceIdentity(const std::string& path) {
    std::string identity = path;
    for (char& c : identity) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return identity;
}

// Not told apart on Windows yet: --port usb finds none there.
std::vector<std::string> usbSerialPorts() {
    return {};
}

} // namespace sparwick::cli
