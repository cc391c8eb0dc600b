#include "cli/ProductionLine.h"

#include "cli/PortSet.h"
#include "cli/PrintableText.h"
#include "cli/ProcessSetup.h"
#include "cli/Supervisor.h"
#include "cli/Update.h"

#include <algorithm>
#include <cstdio>

namespace sparwick::cli {

bool needsSupervisor(const ProductionLineRun& choices) {
    return choices.ports.size() > 1 || choices.station || !choices.logPath.empty() ||
           std::find(choices.ports.begin(), choices.ports.end(), "usb") != choices.ports.end();
}

int runProductionLine(ProductionLineRun run) {
    const PortSet set = choosePorts(run.ports, run.station);
    if (!set.refusal.empty()) {
        std::fprintf(stderr, "sparwick-cli: %s\n%s", set.refusal.c_str(),
                     set.withUsage ? run.usage.c_str() : "");
        return exitUsage;
    }
    if (set.fromUsb) {
        std::printf("Ports:");
        for (const std::string& port : set.ports) {
            std::printf(" %s", printable(port).c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    run.program = ownExecutable();
    run.ports = set.ports;
    return runSupervised(run);
}

} // namespace sparwick::cli
