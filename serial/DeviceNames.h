#pragma once

#include <optional>
#include <string>

namespace sparwick {

// Which device a COM port name stands for. By default the platform decides (Windows:
// "\\.\COMn"; Linux: the fixed table COM1-32 ttyS, COM33-64 ttyUSB, COM65-96 ttyACM,
// COM97-128 ttyAMA, each numbered from 0). Within one process a name can be made to
// stand for any other device path: a pseudo-terminal, a udev link.
std::string devicePath(const std::string& portName);

// Makes portName stand for path until it is forgotten; an empty path forgets it.
void standFor(const std::string& portName, const std::string& path);
void forgetAllStandIns();

// The port number of a name "COMn" (1 to 256, no leading zero); nothing for any other.
std::optional<int> comPortNumber(const std::string& portName);

// The directory the Linux table's devices live in: "/dev" unless a test points it at a
// directory of its own.
void setDeviceDirectory(const std::string& directory);
std::string deviceDirectory();

} // namespace sparwick
