#include "cli/TerminalPath.h"

#include "serial/ComPortList.h"

#include <set>
#include <string.h>

// windows.h first, as the others build on it; initguid.h makes devguid.h define the GUIDs.
// clang-format off
#include <windows.h>
#include <cfgmgr32.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

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
namespace {

// A USB device is a few levels above its port at most: the port, an adapter's own bus
// (FTDIBUS), the USB function, a composite device.
constexpr int deepestPort = 8;

bool onUsb(DEVINST instance) {
    for (int depth = 0; depth < deepestPort; ++depth) {
        char id[MAX_DEVICE_ID_LEN] = {};
        if (::CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS) {
            return false;
        }
        if (::_strnicmp(id, "USB\\", 4) == 0) {
            return true;
        }
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) {
            return false;
        }
        instance = parent;
    }
    return false;
}

std::string portName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key =
        ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool read = ::RegQueryValueExA(key, "PortName", nullptr, &type,
                                         reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                      type == REG_SZ;
    ::RegCloseKey(key);
    return read ? std::string(name) : std::string();
}

} // namespace

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

// The COM ports of the list that a USB device provides, as the device tree tells them:
// the ports of the Ports class one of whose ancestors the USB bus enumerated (a CDC ACM
// port directly, an FTDI port through its FTDIBUS parent), by their PortName.
std::vector<std::string> usbSerialPorts() {
    std::set<std::string> usbNames;
    HDEVINFO devices =
        ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
            if (onUsb(device.DevInst)) {
                if (std::string name = portName(devices, device); !name.empty()) {
                    usbNames.insert(deviceIdentity(name));
                }
            }
        }
        ::SetupDiDestroyDeviceInfoList(devices);
    }
    std::vector<std::string> ports;
    for (const std::string& name : ComPortList::instance().ports()) {
        if (usbNames.contains(deviceIdentity(name))) {
            ports.push_back(name);
        }
    }
    return ports;
}

} // namespace sparwick::cli
