#pragma once

#include "cli/LineModel.h"
#include "cli/LinePrinter.h"
#include "cli/LineRecord.h"
#include "cli/PortSettings.h"
#include "cli/Supervisor.h"
#include "cli/WorkerProcess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// A production line's supervisor as on every system: the workers' processes and their
// streams, fed to the line's model, its printer and its record. The system's own part
// (cli/posix, cli/win32) owns the wait: it starts the workers, then until running() is
// false waits until a worker brings something, an interruption comes or waitTime() has
// passed, passes each interruption to interrupt() and calls step().
class LineSupervisor {
public:
    // terminal: standard output is a terminal that takes the cursor movements which
    // redraw the ports' lines in place.
    LineSupervisor(const ProductionLineRun& run, bool terminal);

    // Opens the record and takes the image's fingerprint: nothing when the run can begin,
    // otherwise its exit status (the reason has been shown).
    std::optional<int> prepare();
    void startWorkers();

    bool running() const;
    std::chrono::milliseconds waitTime() const;
    // An interruption by signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT; on Windows the first two
    // stand for Ctrl-C and Ctrl-Break, SIGHUP for a closed console): every worker hears of
    // it. A second one ends the workers that did not end, a stopped one included, and
    // those still left after a short wait are killed.
    void interrupt(int signal);
    // Reads what the workers brought, starts a station's next workers, redraws.
    void step();
    // Shows the summary; the exit status.
    int finish();

    void forEachWorker(const std::function<void(const WorkerProcess&)>& visit) const;

private:
    using Clock = LineModel::Clock;

    // A port's process side: its worker and what its streams brought that is not yet a line.
    struct Worker {
        std::unique_ptr<WorkerProcess> process;
        std::string outPending;
        std::string errPending;
        PortSettings settings; // as found before the first worker, put back after a killed one
    };

    std::vector<std::string> workerArguments(const std::string& port) const;
    void launch(std::size_t index);
    void stop(const std::vector<std::size_t>& ports);
    void serve(std::size_t index);
    void drain(std::size_t index, WorkerProcess::Stream stream);
    void line(std::size_t index, const std::string& text, bool events);
    void ended(std::size_t index, const LineModel::WorkerEnd& end);
    void killLeftWorkers();

    const ProductionLineRun& run;
    LineModel model;
    LinePrinter printer;
    LineRecord record;
    std::vector<Worker> workers;
    std::optional<Clock::time_point> killAt;
};

} // namespace sparwick::cli
