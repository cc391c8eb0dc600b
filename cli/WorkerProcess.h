#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// One worker of a supervised run: a sparwick-cli process of its own for one port, its
// standard output and error read through pipes, its standard input /dev/null. A worker
// is in a process group of its own, so that a terminal's Ctrl-C reaches the supervisor
// alone and each worker hears of it once, from the supervisor; and it is sent SIGTERM
// if the supervisor dies, so that no update runs on with nobody to report to.
class WorkerProcess {
public:
    // Starts argv[0] with argv; std::system_error when it cannot.
    explicit WorkerProcess(const std::vector<std::string>& argv);
    // Kills a worker that still runs and reaps it.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // The reading ends of its standard output and error; -1 once closed.
    int output() const { return out; }
    int errors() const { return err; }
    void closeOutput();
    void closeErrors();

    void signal(int number);
    // Its exit status once it has ended, 128 plus the signal's number when a signal ended
    // it; nothing while it runs.
    std::optional<int> exitStatus();
    // Whether a signal ended it, rather than its own exit.
    bool killedBySignal() const { return bySignal; }

private:
    int pid = -1;
    int out = -1;
    int err = -1;
    std::optional<int> status;
    bool bySignal = false;
};

} // namespace sparwick::cli
