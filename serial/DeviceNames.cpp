#include "serial/DeviceNames.h"

#include "serial/SerialSystem.h"

#include <map>
#include <mutex>

namespace sparwick {
namespace {

constexpr int maxComPort = 256;

struct NameTable {
    std::mutex mutex;
    std::map<std::string, std::string, std::less<>> standIns;
    std::string directory = "/dev";
};

NameTable& table() {
    static NameTable theTable;
    return theTable;
}

} // namespace

std::string devicePath(const std::string& portName) {
    {
        std::scoped_lock lock(table().mutex);
        if (auto it = table().standIns.find(portName); it != table().standIns.end()) {
            return it->second;
        }
    }
    return serialsys::systemDevicePath(portName);
}

void standFor(const std::string& portName, const std::string& path) {
    std::scoped_lock lock(table().mutex);
    if (path.empty()) {
        table().standIns.erase(portName);
    } else {
        table().standIns[portName] = path;
    }
}

void forgetAllStandIns() {
    std::scoped_lock lock(table().mutex);
    table().standIns.clear();
}

std::optional<int> comPortNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 6 || portName.compare(0, 3, "COM") != 0 ||
        portName[3] == '0') {
        return std::nullopt;
    }
    int number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        char c = portName[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > maxComPort) {
        return std::nullopt;
    }
    return number;
}

void setDeviceDirectory(const std::string& directory) {
    std::scoped_lock lock(table().mutex);
    table().directory = directory;
}

std::string deviceDirectory() {
    std::scoped_lock lock(table().mutex);
    return table().directory;
}

} // namespace sparwick
