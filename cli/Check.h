#pragma once

#include "cli/Update.h"

#include <string>

namespace sparwick::cli {

// Whether the device on portName already holds the image, writing nothing: exitSuccess
// when it does, exitUpdateFailed with the offsets of the blocks that differ when it does
// not, and an update's statuses and messages when the device cannot be asked.
ExitStatus runCheck(const std::string& portName, bool highSpeed, const UpdateOptions& options);

} // namespace sparwick::cli
