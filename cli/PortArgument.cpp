#include "cli/PortArgument.h"

#include "cli/PrintableText.h"
#include "cli/TerminalPath.h"
#include "serial/DeviceNames.h"

namespace sparwick::cli {
namespace {

// A device path given with --port stands for this name within the process: the channel
// selects names of four or five characters only.
constexpr const char* pathPortName = "COM99";
constexpr std::size_t longestSelectableName = 5;

bool isSelectableName(const std::string& name) {
    return name.size() <= longestSelectableName && comPortNumber(name).has_value();
}

PortChoice refuse(std::string reason, bool withUsage) {
    return {"", std::move(reason), withUsage};
}

std::string ownTerminalReason(const std::string& port) {
    return "own terminal: " + printable(port) +
           " is this program's own terminal or standard stream, not a port";
}

} // namespace

PortChoice choosePort(const std::string& argument) {
    if (isSelectableName(argument)) {
        if (isStandardStreamDevice(devicePath(argument))) {
            return refuse(ownTerminalReason(argument), false);
        }
        return {argument, "", false};
    }
    if (argument.find('/') == std::string::npos && !namesFileHere(argument)) {
        return refuse("not a port name: \"" + printable(argument) +
                          "\" (COM1 to COM99 name the COM ports; " + otherPortsHint() + ")",
                      true);
    }
    const std::string shown = printable(argument);
    switch (examinePortPath(argument)) {
    case PortPath::notTerminal:
        return refuse("not a serial device: " + shown, true);
    case PortPath::permissionDenied:
        return refuse("permission denied: " + shown + " (is your user in the dialout group?)",
                      false);
    case PortPath::busy: {
        PortChoice busy = refuse("busy: " + shown + " is in use by another program", false);
        busy.busy = true;
        return busy;
    }
    case PortPath::ownTerminal:
        return refuse(ownTerminalReason(argument), false);
    case PortPath::terminal:
        break;
    }
    standFor(pathPortName, argument);
    return {pathPortName, "", false};
}

} // namespace sparwick::cli
