#pragma once

#include "flash/UpdateOptions.h"

#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// A supervised run: one worker process per port, each updating the board on its port as
// a single update does, and the supervisor owning the display, the summary, the record and
// the exit status.
struct SupervisedRun {
    std::string program; // this executable, which the workers run
    std::vector<std::string> ports;
    bool highSpeed = true;
    UpdateOptions options; // fast, verify
    // Keep each port's loop going: wait for a board, update it, wait for the next.
    bool station = false;
    // With station: stop after this many boards in all.
    std::optional<unsigned> count;
    // The record, one JSON line per board; empty: none.
    std::string logPath;
};

// The exit status: 0 when every board passed; 1 when any failed with a message; 2 or 3
// when one applies (the worst); 128 plus the signal's number when interrupted.
int runSupervised(const SupervisedRun& run);

} // namespace sparwick::cli
