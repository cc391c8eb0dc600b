#pragma once

#include "cli/ProductionLine.h"

namespace sparwick::cli {

// Runs the production line: one worker per port, until every board is done (or a
// station's count is reached, or an interruption). The exit status: 0 when every board
// passed; 1 when any failed with a message; 2 or 3 when one applies (the worst); 128 plus
// the signal's number when interrupted.
int runSupervised(const ProductionLineRun& run);

} // namespace sparwick::cli
