#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sparwick::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argumentsOf(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

// The test's environment with the set-up's variables in place of any of the same name;
// made before the fork, as the child may only make async-signal-safe calls.
std::vector<char*> environmentOf(const ChildSetup& setup) {
    std::vector<char*> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name(*entry, std::strcspn(*entry, "="));
        const bool replaced = std::any_of(
            setup.environment.begin(), setup.environment.end(), [&](const std::string& v) {
                return v.size() > name.size() && v.compare(0, name.size(), name) == 0 &&
                       v[name.size()] == '=';
            });
        if (!replaced) {
            variables.push_back(*entry);
        }
    }
    for (const auto& v : setup.environment) {
        variables.push_back(const_cast<char*>(v.c_str()));
    }
    variables.push_back(nullptr);
    return variables;
}

// In the forked child, before the program starts: only async-signal-safe calls.
void placeStream(ChildSetup::Stream stream, int pipeEnd, int fd, int target) {
    if (stream == ChildSetup::Stream::captured) {
        ::dup2(pipeEnd, target);
    } else if (stream == ChildSetup::Stream::descriptor) {
        ::dup2(fd, target);
    } else if (stream == ChildSetup::Stream::closed) {
        ::close(target);
    }
}

[[noreturn]] void startProgram(std::vector<char*>& args, std::vector<char*>& variables,
                               const ChildSetup& setup, int outEnd, int errEnd) {
    if (setup.user && (::setgroups(0, nullptr) != 0 || ::setgid(setup.user->second) != 0 ||
                       ::setuid(setup.user->first) != 0)) {
        ::_exit(126);
    }
    int in = setup.in >= 0 ? setup.in : ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    if (in != 0 && setup.in < 0) {
        ::close(in);
    }
    if (setup.inIsControllingTerminal && (::setsid() < 0 || ::ioctl(0, TIOCSCTTY, 0) != 0)) {
        ::_exit(126);
    }
    placeStream(setup.out, outEnd, setup.outFd, 1);
    placeStream(setup.err, errEnd, setup.errFd, 2);
    ::execve(args[0], args.data(), variables.data());
    ::_exit(127);
}

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Appends what one read of fd gives; closes it at its end.
void drain(int& fd, std::string& into) {
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeIfOpen(fd);
    }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildSetup& setup) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if ((setup.out == ChildSetup::Stream::captured && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
        (setup.err == ChildSetup::Stream::captured && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe");
    }
    auto args = argumentsOf(argv);
    auto variables = environmentOf(setup);
    pid = ::fork();
    if (pid == 0) {
        startProgram(args, variables, setup, outPipe[1], errPipe[1]);
    }
    closeIfOpen(outPipe[1]);
    closeIfOpen(errPipe[1]);
    out = outPipe[0];
    err = errPipe[0];
}

ChildProcess::~ChildProcess() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    closeIfOpen(out);
    closeIfOpen(err);
}

std::string ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pendingOut.find('\n'); end != std::string::npos) {
            std::string line = pendingOut.substr(0, end);
            pendingOut.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (out < 0 || left.count() <= 0) {
            return {};
        }
        // Standard error is read along, so that a chatty child never blocks on it.
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            drain(err, errText);
        }
        if (fds[0].revents != 0) {
            drain(out, pendingOut);
        }
    }
}

void ChildProcess::closeOutput() {
    closeIfOpen(out);
    pendingOut.clear();
}

void ChildProcess::signal(int number) {
    if (pid > 0) {
        ::kill(pid, number);
    }
}

bool ChildProcess::running() const {
    siginfo_t info{};
    return pid > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

ChildResult ChildProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    ChildResult result;
    while ((out >= 0 || err >= 0) && Clock::now() < deadline) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        if (::poll(fds, 2, 50) <= 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            drain(out, pendingOut);
        }
        if (fds[1].revents != 0) {
            drain(err, errText);
        }
    }
    closeIfOpen(out);
    closeIfOpen(err);
    result.out = std::move(pendingOut);
    result.err = std::move(errText);
    if (pid <= 0) {
        return result;
    }
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            break;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        ::usleep(10'000);
    }
    pid = -1;
    return result;
}

ChildResult runChild(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) {
    return ChildProcess(argv, ChildSetup{}).wait(deadline);
}

namespace {

ChildSetup backgroundSetup() {
    ChildSetup setup;
    setup.err = ChildSetup::Stream::inherited;
    return setup;
}

} // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv)
    : child(argv, backgroundSetup()) {}

BackgroundProcess::~BackgroundProcess() {
    stop(std::chrono::seconds(5));
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds deadline) {
    return child.readLine(deadline);
}

void BackgroundProcess::signal(int number) {
    child.signal(number);
}

int BackgroundProcess::stop(std::chrono::milliseconds deadline) {
    child.signal(SIGTERM);
    return child.wait(deadline).exitStatus;
}

} // namespace sparwick::test
