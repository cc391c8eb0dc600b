#pragma once

#include "flash/UpdateOptions.h"

#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// What the command line chose for a production line's run: one worker process per port,
// each updating the board on its port as a single update does, and the supervisor owning
// the display, the summary, the record and the exit status.
struct ProductionLineRun {
    std::string program;            // this executable, which the workers run
    std::vector<std::string> ports; // every --port, "usb" included; then the ports themselves
    bool highSpeed = true;
    UpdateOptions options;
    // Each worker checks its board (--check) instead of updating it.
    bool check = false;
    // Keep each port's loop going: wait for a board, update it, wait for the next.
    bool station = false;
    // With station: stop after this many boards in all.
    std::optional<unsigned> count;
    // The record, one JSON line per board; empty: none.
    std::string logPath;
    std::string usage; // shown after a refusal of the command line itself
};

// Whether the run needs workers and their supervisor rather than one update in-process:
// several ports, "usb", a station or a record.
bool needsSupervisor(const ProductionLineRun& choices);

// Checks the ports, lists the ones "usb" chose, and runs the supervisor; the exit status.
int runProductionLine(ProductionLineRun run);

} // namespace sparwick::cli
