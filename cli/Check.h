#pragma once

#include "cli/Update.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sparwick::cli {

// Whether the device on portName already holds the image, writing nothing: exitSuccess
// when it does, exitUpdateFailed with the offsets of the blocks that differ when it does
// not, and an update's statuses and messages when the device cannot be asked. For a
// supervisor, the events of WorkerStream instead: what was learnt of the board, the
// check's finding, and an outcome whose message is the line a person would read.
ExitStatus runCheck(const std::string& portName, bool highSpeed, const UpdateOptions& options,
                    UpdateAudience audience = UpdateAudience::person);

// "current: ..." or "differs: N blocks of 4096 bytes at 0x05000 ...".
std::string checkFinding(const std::vector<std::uint32_t>& differing);

} // namespace sparwick::cli
