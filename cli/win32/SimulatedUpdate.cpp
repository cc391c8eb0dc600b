#include "cli/Update.h"

#include <cstdio>

namespace sparwick::cli {

// The simulated device lives on a Linux pseudo-terminal; the Windows build has none.
ExitStatus runSimulatedUpdate(std::uint32_t, bool, const UpdateOptions&) {
    std::fputs("sparwick-cli: --simulate needs the simulated device, which only the Linux "
               "build carries\n",
               stderr);
    return exitUsage;
}

} // namespace sparwick::cli
