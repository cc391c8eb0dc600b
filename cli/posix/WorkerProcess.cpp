#include "cli/WorkerProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace sparwick::cli {
namespace {

std::array<int, 2> makePipe() {
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    return ends;
}

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

WorkerProcess::WorkerProcess(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    auto outPipe = makePipe();
    auto errPipe = makePipe();
    const pid_t parent = ::getpid();
    sigset_t none;
    sigemptyset(&none);

    pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(128 + SIGTERM); // the supervisor is already gone
        }
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(outPipe[1], STDOUT_FILENO) < 0 ||
            ::dup2(errPipe[1], STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    out = outPipe[0];
    err = errPipe[0];
    if (pid < 0) {
        closeIfOpen(out);
        closeIfOpen(err);
        throw std::system_error(forkError, std::generic_category(), "fork");
    }
    // Set from both sides, so that a signal sent right after this finds the group.
    ::setpgid(pid, pid);
}

WorkerProcess::~WorkerProcess() {
    closeIfOpen(out);
    closeIfOpen(err);
    if (pid > 0 && !status) {
        ::kill(pid, SIGKILL);
        int ignored = 0;
        ::waitpid(pid, &ignored, 0);
    }
}

bool WorkerProcess::read(Stream stream, std::string& into) {
    int& fd = stream == Stream::output ? out : err;
    if (fd < 0) {
        return false;
    }
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0) {
        return true;
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (n <= 0) {
        closeIfOpen(fd);
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool WorkerProcess::open(Stream stream) const {
    return (stream == Stream::output ? out : err) >= 0;
}

void WorkerProcess::signal(int number) {
    if (pid > 0 && !status) {
        ::kill(pid, number);
    }
}

void WorkerProcess::resume() {
    signal(SIGCONT);
}

void WorkerProcess::kill() {
    signal(SIGKILL);
}

std::optional<int> WorkerProcess::exitStatus() {
    if (!status && pid > 0) {
        int raw = 0;
        if (::waitpid(pid, &raw, WNOHANG) == pid) {
            bySignal = WIFSIGNALED(raw);
            status = bySignal ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
        }
    }
    return status;
}

std::string WorkerProcess::howKilled() const {
    return status ? "by signal " + std::to_string(*status - 128) : std::string();
}

} // namespace sparwick::cli
