#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sparwick::test {

struct ChildResult {
    int exitStatus = -1; // -1 when it did not exit by itself in time, or died by a signal
    std::string out;
    std::string err;
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
    pid_t pid = -1;
    int out = -1;
    std::string pending;
};

} // namespace sparwick::test
