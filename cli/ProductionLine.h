#pragma once

#include "flash/UpdateOptions.h"

#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// What the command line chose for a production line's run.
struct ProductionLineChoices {
    std::vector<std::string> ports; // every --port, "usb" included
    bool highSpeed = true;
    UpdateOptions options;
    bool station = false;
    std::optional<unsigned> count;
    std::string logPath;
    std::string usage; // shown after a refusal of the command line itself
};

// Whether the run needs workers and their supervisor rather than one update in-process:
// several ports, "usb", a station or a record.
bool needsSupervisor(const ProductionLineChoices& choices);

// Checks the ports, lists the ones "usb" chose, and runs the supervisor; the exit status.
int runProductionLine(const ProductionLineChoices& choices);

} // namespace sparwick::cli
