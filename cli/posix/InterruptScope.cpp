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
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// Ctrl-\ (SIGQUIT) too: its default would end the process with the port held exclusively
// and its line settings changed, refusing the next user as busy.
constexpr std::array<int, 4> interruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

constinit std::atomic<bool> ending{false};
// The message an interruption shows: interruptedMessage or another constant.
constinit std::atomic<const char*> shownText{nullptr};
constinit std::atomic<std::size_t> shownSize{0};
// Whether the message must first end the progress bar's line on the terminal.
constinit std::atomic<bool> barOnTerminal{false};
std::array<struct sigaction, interruptions.size()> previous{};

// The link and directory a RemovedOnInterrupt names, as the handlers can reach them:
// written first, then published by the flag.
constexpr std::size_t leftoverPathSize = RemovedOnInterrupt::longestPath + 1;
constinit std::array<char, leftoverPathSize> leftoverLink{};
constinit std::array<char, leftoverPathSize> leftoverDirectory{};
constinit std::atomic<bool> leftoversNamed{false};
std::array<struct sigaction, interruptions.size()> beforeLeftovers{};
sigset_t maskBeforeLeftovers;

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

// The link, whatever else is in the directory (the device makes its link beside the final
// one and renames it over it, so a moment may find two), and the directory: it was made
// for the run, and nothing else puts anything there. Async-signal-safe (getdents64 is a
// plain system call); a path that is gone already fails harmlessly.
void removeLeftovers() {
    if (!leftoversNamed.load()) {
        return;
    }
    ::unlink(leftoverLink.data());
    const int directory =
        ::open(leftoverDirectory.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory >= 0) {
        alignas(dirent64) std::array<char, 1024> entries;
        ssize_t length = 0;
        while ((length = ::getdents64(directory, entries.data(), entries.size())) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + at);
                ::unlinkat(directory, entry->d_name, 0); // refuses "." and ".."
                at += entry->d_reclen;
            }
        }
        ::close(directory);
    }
    ::rmdir(leftoverDirectory.data());
}

// Outside the update: the leftovers go, then the signal's own action ends the process.
extern "C" void removeLeftoversAndEnd(int signal) {
    removeLeftovers();
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal); // not reached: the raise ends the process
}

sigset_t interruptionSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : interruptions) {
        sigaddset(&set, signal);
    }
    return set;
}

extern "C" void endInterruptedUpdate(int signal) {
    // The handler runs with its own signal unblocked (SA_NODEFER): a second interruption
    // while this one cleans up, for instance while the message waits on a stopped
    // terminal, ends the process there and then.
    if (ending.exchange(true)) {
        ::_exit(128 + signal);
    }
    serialsys::releaseOpenPortsNow();
    removeLeftovers();
    if (barOnTerminal.load()) {
        writeAll(STDERR_FILENO, "\n");
    }
    writeAll(STDERR_FILENO, std::string_view(shownText.load(), shownSize.load()));
    writeAll(STDERR_FILENO, "\n");
    ::_exit(128 + signal);
}

} // namespace

InterruptScope::InterruptScope(std::string_view message) {
    shownText = message.data();
    shownSize = message.size();
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

RemovedOnInterrupt::RemovedOnInterrupt() {
    const sigset_t held = interruptionSet();
    ::pthread_sigmask(SIG_BLOCK, &held, &maskBeforeLeftovers);
    leftoversNamed = false;
    struct sigaction action {};
    action.sa_handler = removeLeftoversAndEnd;
    action.sa_mask = held;
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &action, &beforeLeftovers[i]);
    }
}

void RemovedOnInterrupt::name(const std::string& directory, const std::string& link) {
    if (keep(leftoverLink, link) && keep(leftoverDirectory, directory)) {
        leftoversNamed = true;
    }
    ::pthread_sigmask(SIG_SETMASK, &maskBeforeLeftovers, nullptr);
}

RemovedOnInterrupt::~RemovedOnInterrupt() {
    // An interruption in the middle of this removes the same again, harmlessly.
    removeLeftovers();
    leftoversNamed = false;
    for (std::size_t i = 0; i < interruptions.size(); ++i) {
        ::sigaction(interruptions[i], &beforeLeftovers[i], nullptr);
    }
    ::pthread_sigmask(SIG_SETMASK, &maskBeforeLeftovers, nullptr);
}

} // namespace sparwick::cli
