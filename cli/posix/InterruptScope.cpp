// The interruption is handled inside the signal handler itself, with async-signal-safe
// calls only: the port's descriptor and the settings it was found with are kept by the
// serial channel where a handler can reach them, so the handler can release the port,
// write the message and _exit without the update's code running another step. The
// update's thread is never resumed, so nothing more reaches the device, and no lock the
// interrupted code may hold is needed.
#include "cli/InterruptScope.h"

#include "serial/posix/PortRelease.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// Ctrl-\ (SIGQUIT) too: its default would end the process with the port held exclusively
// and its line settings changed, refusing the next user as busy.
constexpr std::array<int, 4> interruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

constinit std::atomic<bool> ending{false};
// Whether the message must first end the progress bar's line on the terminal.
constinit std::atomic<bool> barOnTerminal{false};
std::array<struct sigaction, interruptions.size()> previous{};

// The link and directory a RemovedOnInterrupt names, as the handler can reach them:
// written first, then published by the flag.
constexpr std::size_t leftoverPathSize = 4096;
constinit std::array<char, leftoverPathSize> leftoverLink{};
constinit std::array<char, leftoverPathSize> leftoverDirectory{};
constinit std::atomic<bool> leftoversNamed{false};

bool keep(std::array<char, leftoverPathSize>& into, const std::string& path) {
    if (path.empty() || path.size() >= into.size()) {
        return false;
    }
    std::memcpy(into.data(), path.c_str(), path.size() + 1);
    return true;
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) {
            return; // EINTR included: a second interruption ends the process anyway
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

extern "C" void endInterruptedUpdate(int signal) {
    // The handler runs with its own signal unblocked (SA_NODEFER): a second interruption
    // while this one cleans up, for instance while the message waits on a stopped
    // terminal, ends the process there and then.
    if (ending.exchange(true)) {
        ::_exit(128 + signal);
    }
    serialsys::releaseOpenPortsNow();
    if (leftoversNamed.load()) {
        ::unlink(leftoverLink.data());
        ::rmdir(leftoverDirectory.data()); // fails, harmlessly, unless it is empty now
    }
    if (barOnTerminal.load()) {
        writeAll(STDERR_FILENO, "\n");
    }
    writeAll(STDERR_FILENO, interruptedMessage);
    writeAll(STDERR_FILENO, "\n");
    ::_exit(128 + signal);
}

} // namespace

InterruptScope::InterruptScope() {
    barOnTerminal = ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
    struct sigaction action {};
    action.sa_handler = endInterruptedUpdate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER;
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &action, &previous[i]);
    }
}

InterruptScope::~InterruptScope() {
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &previous[i], nullptr);
    }
}

RemovedOnInterrupt::RemovedOnInterrupt(const std::string& link) {
    const std::string directory = std::filesystem::path(link).parent_path().string();
    leftoversNamed = false;
    if (keep(leftoverLink, link) && keep(leftoverDirectory, directory)) {
        leftoversNamed = true;
    }
}

RemovedOnInterrupt::~RemovedOnInterrupt() {
    leftoversNamed = false;
}

} // namespace sparwick::cli
