// The supervisor's wait on POSIX systems: one thread, one poll loop over the workers'
// pipes and the signals, which arrive through a pipe of their own.
#include "cli/Supervisor.h"

#include "cli/LineSupervisor.h"
#include "cli/SignalPipe.h"

#include <poll.h>
#include <unistd.h>

namespace sparwick::cli {

int runSupervised(const ProductionLineRun& run) {
    LineSupervisor supervisor(run, ::isatty(STDOUT_FILENO) == 1);
    if (const auto refused = supervisor.prepare()) {
        return *refused;
    }
    SignalPipe signals;
    supervisor.startWorkers();
    while (supervisor.running()) {
        std::vector<pollfd> fds{{signals.fd(), POLLIN, 0}};
        supervisor.forEachWorker([&fds](const WorkerProcess& worker) {
            fds.push_back({worker.output(), POLLIN, 0});
            fds.push_back({worker.errors(), POLLIN, 0});
        });
        ::poll(fds.data(), fds.size(), static_cast<int>(supervisor.waitTime().count()));
        for (const int signal : signals.take()) {
            supervisor.interrupt(signal);
        }
        supervisor.step();
    }
    return supervisor.finish();
}

} // namespace sparwick::cli
