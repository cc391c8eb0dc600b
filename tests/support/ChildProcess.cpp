#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
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

// Forks argv with stdin from /dev/null and stdout (and stderr, when given) into pipes.
pid_t spawn(const std::vector<std::string>& argv, int& outRead, int* errRead) {
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || (errRead && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe");
    }
    auto args = argumentsOf(argv);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(outPipe[1], 1);
        if (errRead) {
            ::dup2(errPipe[1], 2);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    outRead = outPipe[0];
    if (errRead) {
        ::close(errPipe[1]);
        *errRead = errPipe[0];
    }
    return pid;
}

int waitFor(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10'000);
    }
}

} // namespace

ChildResult runChild(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int out = -1;
    int err = -1;
    pid_t pid = spawn(argv, out, &err);
    ChildResult result;
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open = 2;
    while (open > 0 && Clock::now() < deadline) {
        if (::poll(fds, 2, 50) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
                char buffer[4096];
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    result.exitStatus = waitFor(pid, deadline);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
    pid = spawn(argv, out, nullptr);
}

BackgroundProcess::~BackgroundProcess() {
    stop(std::chrono::seconds(5));
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending.find('\n'); end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (out < 0 || left.count() <= 0) {
            return {};
        }
        pollfd pfd{out, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[1024];
        ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(out);
            out = -1;
        } else {
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

void BackgroundProcess::signal(int number) {
    if (pid > 0) {
        ::kill(pid, number);
    }
}

int BackgroundProcess::stop(std::chrono::milliseconds limit) {
    if (pid <= 0) {
        return -1;
    }
    ::kill(pid, SIGTERM);
    int status = waitFor(pid, Clock::now() + limit);
    pid = -1;
    if (out >= 0) {
        ::close(out);
        out = -1;
    }
    return status;
}

} // namespace sparwick::test
