#pragma once

#include <string>
#include <vector>

namespace sparwick::cli {

// What a port given by its path meets when it is opened as the channel opens it. Only
// POSIX systems name their serial devices by path; on Windows a port always goes by its
// name.
enum class PortPath {
    terminal,         // a terminal that the update can use
    notTerminal,      // missing, or not a terminal at all
    permissionDenied, // present, but this user may not open it
    busy,             // held for exclusive use by another program
    ownTerminal,      // the terminal this program runs in, or one of its standard streams
};

PortPath examinePortPath(const std::string& path);

// Whether the device at path, looked up without opening it, is where one of this
// process's standard streams goes: the update would then write into its own output.
bool isStandardStreamDevice(const std::string& path);

// Whether a name without a slash is a file in the working directory, which --port then
// takes as a relative path, as it takes "./name". Never on Windows, where a port always
// goes by its name.
bool namesFileHere(const std::string& name);

// How a port that no COM name selects is given, for the reason of a refused name.
const char* otherPortsHint();

} // namespace sparwick::cli

namespace sparwick::cli {

// What tells two names of one port apart from two ports: two paths (or a COM name's device
// and a udev link) with the same identity are one device.
std::string deviceIdentity(const std::string& path);

// The USB serial ports present now, as --port takes them: on Linux the paths of the
// ttyUSB and ttyACM devices, in the order of their numbers.
std::vector<std::string> usbSerialPorts();

} // namespace sparwick::cli
