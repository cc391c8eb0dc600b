#include "serial/ComPortList.h"

#include "serial/DeviceNames.h"
#include "serial/SerialSystem.h"

namespace sparwick {
namespace {

constexpr int lastComPort = 256;

} // namespace

ComPortList& ComPortList::instance() {
    static ComPortList list;
    return list;
}

ComPortList::ComPortList() {
    for (int n = 1; n <= lastComPort; ++n) {
        std::string name = "COM" + std::to_string(n);
        if (serialsys::probePort(devicePath(name))) {
            names.push_back(std::move(name));
        }
    }
}

} // namespace sparwick
