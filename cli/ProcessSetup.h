#pragma once

namespace sparwick::cli {

// Makes the process safe for the device before anything is opened: the standard streams
// exist (a port opened while one is closed would take its place, and progress lines would
// be written into the device), and a reader of our output that goes away makes writes
// fail instead of ending the process in the middle of an update.
void prepareProcess();

} // namespace sparwick::cli

#include <string>

namespace sparwick::cli {

// The path of this program's executable, for starting workers of its own.
std::string ownExecutable();

} // namespace sparwick::cli
