#include "cli/Supervisor.h"

#include "cli/Update.h"

#include <cstdio>

namespace sparwick::cli {

// Workers on Windows would need CreateProcess and overlapped pipes; not built yet.
int runSupervised(const SupervisedRun&) {
    std::fprintf(stderr, "sparwick-cli: several ports, --station and --log are not available "
                         "on Windows yet\n");
    return exitUsage;
}

} // namespace sparwick::cli
