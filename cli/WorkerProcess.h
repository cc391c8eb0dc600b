#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::cli {

// One worker of a supervised run: a sparwick-cli process of its own for one port, its
// standard output and error read through pipes, its standard input the null device.
//
// On POSIX systems a worker is in a process group of its own, so that a terminal's Ctrl-C
// reaches the supervisor alone and each worker hears of it once, from the supervisor; and
// it is sent SIGTERM if the supervisor dies, so that no update runs on with nobody to
// report to. On Windows a worker is in a console process group of its own, which a
// Ctrl-Break can be sent to alone, and in a job object that ends it with the supervisor.
class WorkerProcess {
public:
    enum class Stream { output, errors };

    // Starts argv[0] with argv; std::system_error when it cannot.
    explicit WorkerProcess(const std::vector<std::string>& argv);
    // Kills a worker that still runs and reaps it.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // Appends to into what stream has brought since the last call, without waiting; false
    // once the stream has ended and all of it has been given.
    bool read(Stream stream, std::string& into);
    // Whether stream may still bring something.
    bool open(Stream stream) const;

    // Passes an interruption on: on POSIX systems the signal itself; on Windows, where
    // only Ctrl-C and Ctrl-Break can be sent to a process group, a Ctrl-Break whatever
    // the number.
    void signal(int number);
    // Lets a worker stopped by a signal (SIGSTOP) go on, so that the signals it was sent
    // act; nothing on Windows.
    void resume();
    // Ends it at once, without a chance to clean up.
    void kill();
    // Its exit status once it has ended, 128 plus the signal's number when a signal ended
    // it; nothing while it runs.
    std::optional<int> exitStatus();
    // Whether it ended abnormally (a signal on POSIX systems, an exception on Windows)
    // rather than by its own exit, and how, for the user: "by signal 11".
    bool killedBySignal() const { return bySignal; }
    std::string howKilled() const;

#ifndef _WIN32
    // The reading ends of its standard output and error, for poll; -1 once closed.
    int output() const {
        return out;
    }
    int errors() const {
        return err;
    }
#endif

private:
    std::optional<int> status;
    bool bySignal = false;
#ifdef _WIN32
    struct Handles;
    std::unique_ptr<Handles> handles;
    std::string killedHow;
#else
    int pid = -1;
    int out = -1;
    int err = -1;
#endif
};

#ifdef _WIN32
// An event (a Windows HANDLE) set whenever a worker's pipe brings something or ends, for
// the supervisor to wait on; made on first use and never closed.
void* workerActivity();
#endif

} // namespace sparwick::cli
