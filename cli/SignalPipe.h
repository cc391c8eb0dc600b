#pragma once

#include <array>
#include <csignal>
#include <vector>

namespace sparwick::cli {

// While it lives, the interruptions a supervisor passes on to its workers (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) do not end the process: each arrives as a byte on a pipe that the
// supervisor's poll loop watches along with its workers. POSIX only.
class SignalPipe {
public:
    // std::system_error when the pipe cannot be made.
    SignalPipe();
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    int fd() const { return readEnd; }
    // The signals that arrived since the last call, in their order.
    std::vector<int> take();

private:
    static constexpr std::array<int, 4> interruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

    int readEnd = -1;
    std::array<struct sigaction, interruptions.size()> previous{};
};

} // namespace sparwick::cli
