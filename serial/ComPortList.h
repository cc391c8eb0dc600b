#pragma once

#include <string>
#include <vector>

namespace sparwick {

// The COM ports present on this machine, "COM1" to "COM256" in ascending order: probed
// once, on first use, and unchanged until the process ends. A port that another program
// holds is present too. No port is left open.
class ComPortList {
public:
    static ComPortList& instance();

    virtual ~ComPortList() = default;
    ComPortList(const ComPortList&) = delete;
    ComPortList& operator=(const ComPortList&) = delete;

    const std::vector<std::string>& ports() const { return names; }

private:
    ComPortList();

    std::vector<std::string> names;
};

} // namespace sparwick
