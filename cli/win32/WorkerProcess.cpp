// A worker on Windows: CreateProcess with its standard output and error on anonymous
// pipes, each read by a thread of its own (anonymous pipes know no overlapped reads),
// which hands what it read to the supervisor's thread and sets workerActivity().
#include "cli/WorkerProcess.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <windows.h>

namespace sparwick::cli {
namespace {

// What a process ended by the default console control handler exits with: a worker
// interrupted before or after its update's own handler was in place.
constexpr DWORD controlCExit = 0xC000013A;
// The status a POSIX shell reports for SIGINT, as the worker's own handler exits with.
constexpr int interruptedStatus = 130;

std::system_error lastError(const char* what) {
    return {static_cast<int>(::GetLastError()), std::system_category(), what};
}

// The command line CreateProcess splits back into argv as the C runtime does: each
// argument quoted, its quotes and the backslashes before them escaped.
std::string commandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty()) {
            line += ' ';
        }
        line += '"';
        std::size_t backslashes = 0;
        for (const char c : arg) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

// Every worker in one job that ends them all when its last handle closes, which happens
// when the supervisor ends, however it ends.
HANDLE workerJob() {
    static const HANDLE job = [] {
        HANDLE made = ::CreateJobObjectA(nullptr, nullptr);
        if (made != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            ::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits);
        }
        return made;
    }();
    return job;
}

} // namespace

void* workerActivity() {
    static const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

struct WorkerProcess::Handles {
    struct Pipe {
        HANDLE read = nullptr;
        HANDLE reader = nullptr; // its thread
        Handles* owner = nullptr;
        std::string arrived; // under mutex
        bool ended = false;  // under mutex
        bool given = false;  // the end has been reported; the supervisor's thread only
    };
    PROCESS_INFORMATION process{};
    std::mutex mutex;
    std::array<Pipe, 2> pipes;

    static DWORD WINAPI readAll(void* context) {
        Pipe& pipe = *static_cast<Pipe*>(context);
        pipe.owner->readAll(pipe);
        return 0;
    }

    void readAll(Pipe& pipe) {
        char buffer[4096];
        DWORD n = 0;
        while (::ReadFile(pipe.read, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            std::scoped_lock lock(mutex);
            pipe.arrived.append(buffer, n);
            ::SetEvent(workerActivity());
        }
        std::scoped_lock lock(mutex);
        pipe.ended = true;
        ::SetEvent(workerActivity());
    }
};

WorkerProcess::WorkerProcess(const std::vector<std::string>& argv)
    : handles(std::make_unique<Handles>()) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    std::array<HANDLE, 2> writeEnds{nullptr, nullptr};
    const auto closeAll = [&] {
        for (std::size_t i = 0; i < writeEnds.size(); ++i) {
            for (HANDLE* h : {&writeEnds[i], &handles->pipes[i].read}) {
                if (*h != nullptr) {
                    ::CloseHandle(*h);
                    *h = nullptr;
                }
            }
        }
    };
    for (std::size_t i = 0; i < writeEnds.size(); ++i) {
        // Only the writing end goes to the worker.
        if (!::CreatePipe(&handles->pipes[i].read, &writeEnds[i], &inherited, 0) ||
            !::SetHandleInformation(handles->pipes[i].read, HANDLE_FLAG_INHERIT, 0)) {
            const auto error = lastError("CreatePipe");
            closeAll();
            throw error;
        }
    }
    HANDLE null = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null;
    startup.hStdOutput = writeEnds[0];
    startup.hStdError = writeEnds[1];
    std::string line = commandLine(argv);
    // Suspended until it is in the job, so that nothing of it can outlive the supervisor.
    const BOOL started = ::CreateProcessA(argv.front().c_str(), line.data(), nullptr, nullptr, TRUE,
                                          CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr,
                                          nullptr, &startup, &handles->process);
    const auto startError = lastError("CreateProcess");
    if (null != INVALID_HANDLE_VALUE) {
        ::CloseHandle(null);
    }
    for (HANDLE& end : writeEnds) {
        ::CloseHandle(end);
        end = nullptr;
    }
    if (!started) {
        closeAll();
        throw startError;
    }
    if (workerJob() != nullptr) {
        ::AssignProcessToJobObject(workerJob(), handles->process.hProcess);
    }
    ::ResumeThread(handles->process.hThread);
    for (Handles::Pipe& pipe : handles->pipes) {
        pipe.owner = handles.get();
        pipe.reader = ::CreateThread(nullptr, 0, &Handles::readAll, &pipe, 0, nullptr);
        if (pipe.reader == nullptr) {
            // Nobody reads this stream: it counts as ended, and the worker's writes to it fail.
            ::CloseHandle(pipe.read);
            pipe.read = nullptr;
            std::scoped_lock lock(handles->mutex);
            pipe.ended = true;
        }
    }
}

WorkerProcess::~WorkerProcess() {
    if (!status) {
        ::TerminateProcess(handles->process.hProcess, 1);
        ::WaitForSingleObject(handles->process.hProcess, INFINITE);
    }
    // The worker's end of each pipe is closed with it: each reader sees the end, unless
    // a process the worker left behind holds the pipe too, which CancelSynchronousIo ends.
    for (Handles::Pipe& pipe : handles->pipes) {
        if (pipe.reader != nullptr) {
            ::CancelSynchronousIo(pipe.reader);
            ::WaitForSingleObject(pipe.reader, INFINITE);
            ::CloseHandle(pipe.reader);
            ::CloseHandle(pipe.read);
        }
    }
    ::CloseHandle(handles->process.hThread);
    ::CloseHandle(handles->process.hProcess);
}

bool WorkerProcess::read(Stream stream, std::string& into) {
    Handles::Pipe& pipe = handles->pipes[stream == Stream::output ? 0 : 1];
    if (pipe.given) {
        return false;
    }
    std::scoped_lock lock(handles->mutex);
    into += pipe.arrived;
    pipe.arrived.clear();
    pipe.given = pipe.ended;
    return !pipe.given;
}

bool WorkerProcess::open(Stream stream) const {
    return !handles->pipes[stream == Stream::output ? 0 : 1].given;
}

void WorkerProcess::signal(int) {
    if (!status && !::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, handles->process.dwProcessId)) {
        // No console to send it through (a supervisor started without one): ended on the
        // spot, which is what the worker's own handler does, the system closing its port.
        ::TerminateProcess(handles->process.hProcess, interruptedStatus);
    }
}

void WorkerProcess::resume() {}

void WorkerProcess::kill() {
    if (!status) {
        ::TerminateProcess(handles->process.hProcess, 1);
    }
}

std::optional<int> WorkerProcess::exitStatus() {
    DWORD code = 0;
    if (!status && ::WaitForSingleObject(handles->process.hProcess, 0) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(handles->process.hProcess, &code)) {
        if (code == controlCExit) {
            status = interruptedStatus;
        } else if ((code & 0xC0000000) == 0xC0000000) {
            // An exception nobody caught (0xC0000005, an access violation) or a kill by
            // such a code: the NTSTATUS of the error, never an exit of the program's own.
            bySignal = true;
            status = -1;
            char text[40];
            std::snprintf(text, sizeof text, "by exception 0x%08lX",
                          static_cast<unsigned long>(code));
            killedHow = text;
        } else {
            status = static_cast<int>(code);
        }
    }
    return status;
}

std::string WorkerProcess::howKilled() const {
    return killedHow;
}

} // namespace sparwick::cli
