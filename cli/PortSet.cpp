#include "cli/PortSet.h"

#include "cli/PortArgument.h"
#include "cli/TerminalPath.h"
#include "serial/DeviceNames.h"

#include <map>

namespace sparwick::cli {
namespace {

constexpr const char* allUsbPorts = "usb";

// A COM name stands for its device; anything else is a path, a bare name one relative to
// the working directory.
std::string identityOfArgument(const std::string& argument) {
    return deviceIdentity(comPortNumber(argument) ? devicePath(argument) : argument);
}

} // namespace

std::optional<std::pair<std::size_t, std::size_t>>
firstDuplicate(const std::vector<std::string>& ports,
               const std::function<std::string(const std::string&)>& identityOf) {
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const auto [at, fresh] = seen.emplace(identityOf(ports[i]), i);
        if (!fresh) {
            return std::pair{at->second, i};
        }
    }
    return std::nullopt;
}

PortSet choosePorts(const std::vector<std::string>& arguments, bool station) {
    PortSet set;
    for (const std::string& argument : arguments) {
        if (argument != allUsbPorts) {
            set.ports.push_back(argument);
            continue;
        }
        set.fromUsb = true;
        for (std::string& port : usbSerialPorts()) {
            set.ports.push_back(std::move(port));
        }
    }
    if (set.fromUsb && set.ports.empty()) {
        set.refusal = "no USB serial port is present";
        return set;
    }
    if (const auto twice = firstDuplicate(set.ports, identityOfArgument)) {
        const std::string& first = set.ports[twice->first];
        const std::string& second = set.ports[twice->second];
        set.refusal = first == second ? "the port " + first + " is given twice"
                                      : first + " and " + second + " are the same port";
        set.withUsage = true;
        return set;
    }
    for (const std::string& port : set.ports) {
        const PortChoice choice = choosePort(port);
        if (!choice.refusal.empty() && !(station && choice.busy)) {
            set.refusal = choice.refusal;
            set.withUsage = choice.withUsage;
            return set;
        }
    }
    return set;
}

} // namespace sparwick::cli
