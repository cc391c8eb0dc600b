#include "cli/ProcessSetup.h"

namespace sparwick::cli {

// Nothing to do on Windows: a port handle never takes the place of a missing standard
// handle, writes to one simply fail, and there is no SIGPIPE.
void prepareProcess() {}

} // namespace sparwick::cli

#include <windows.h>

namespace sparwick::cli {

std::string ownExecutable() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length < MAX_PATH ? length : 0);
}

} // namespace sparwick::cli
