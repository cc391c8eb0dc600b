#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sparwick::test {

struct ChildResult {
    int exitStatus = -1; // -1 when it did not exit by itself in time, or died by a signal
    int signal = 0;      // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// How a child's standard streams and identity are set up, as a user's shell might.
struct ChildSetup {
    enum class Stream { captured, closed, inherited, descriptor };
    Stream out = Stream::captured;
    Stream err = Stream::captured;
    // The descriptors that Stream::descriptor puts there.
    int outFd = -1;
    int errFd = -1;
    // Standard input: this descriptor, or /dev/null when -1.
    int in = -1;
    // A new session whose controlling terminal is standard input (which must be a terminal).
    bool inIsControllingTerminal = false;
    // The user and group to run as, without supplementary groups (the test must be root).
    std::optional<std::pair<uid_t, gid_t>> user;
    // Variables set ("NAME=value") on top of the test's own environment.
    std::vector<std::string> environment;
};

// A program started with a set-up of its own, its standard output read line by line as it
// comes. Killed (SIGKILL) if still running when destroyed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const ChildSetup& setup);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of its standard output, or "" when none comes by the deadline.
    std::string readLine(std::chrono::milliseconds deadline);
    // Closes our end of its standard output, as a reader that goes away does.
    void closeOutput();
    void signal(int number);
    // Whether it has not ended yet; an ended child stays unreaped for wait.
    bool running() const;
    pid_t id() const { return pid; }
    // Collects what is left of its captured streams and waits for its end; killed when it
    // has not ended by the deadline.
    ChildResult wait(std::chrono::milliseconds deadline);

private:
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string pendingOut;
    std::string errText;
};

// Runs a program to its end with its standard output and error captured and no standard
// input; one that is still running at the deadline is killed.
ChildResult runChild(const std::vector<std::string>& argv, std::chrono::milliseconds deadline);

// A program left running in the background while a test talks to it, with its standard
// output readable line by line. Ended (SIGTERM, then SIGKILL) when destroyed.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& argv);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The next line of its standard output, or "" when none comes by the deadline.
    std::string readLine(std::chrono::milliseconds deadline);
    void signal(int number);
    // Sends SIGTERM and waits for the exit; the exit status, or -1.
    int stop(std::chrono::milliseconds deadline);

private:
    ChildProcess child;
};

} // namespace sparwick::test
