// The supervisor's wait on Windows: the workers' reader threads and the console control
// handler each set workerActivity(), which the supervisor's one thread waits on; all else
// happens on that thread. Ctrl-C, Ctrl-Break and a closed console reach every worker as a
// Ctrl-Break sent to its process group, and each releases its port as a single update
// does: its own handler ends it, and the system closes the port.
#include "cli/Supervisor.h"

#include "cli/LineSupervisor.h"

#include <mutex>
#include <utility>
#include <vector>
#include <windows.h>

namespace sparwick::cli {
namespace {

// The signal numbers the supervisor takes interruptions as, so that the exit statuses
// are a POSIX shell's: 130 for Ctrl-C and Ctrl-Break, 129 for a closed console.
constexpr int interruptSignal = 2; // SIGINT
constexpr int closeSignal = 1;     // SIGHUP

struct ControlEvents {
    std::mutex mutex;
    std::vector<int> arrived;
    // Set once the summary is out and the record written: a closing console's handler
    // waits for it, as the process ends when that handler returns.
    HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int status = 0;
};

ControlEvents& controlEvents() {
    static ControlEvents events;
    return events;
}

BOOL WINAPI noteControlEvent(DWORD event) {
    const bool closing =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    ControlEvents& events = controlEvents();
    {
        std::scoped_lock lock(events.mutex);
        events.arrived.push_back(closing ? closeSignal : interruptSignal);
    }
    ::SetEvent(workerActivity());
    if (closing) {
        // The system ends the process when this returns, or when its patience runs out.
        ::WaitForSingleObject(events.done, INFINITE);
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(events.status));
    }
    return TRUE;
}

std::vector<int> takeControlEvents() {
    ControlEvents& events = controlEvents();
    std::scoped_lock lock(events.mutex);
    return std::exchange(events.arrived, {});
}

// A console that takes the cursor movements of the live lines, switched to them for the
// run when it needs to be; anything else (a file, a pipe, an old console) gets plain lines.
class LiveConsole {
public:
    LiveConsole()
        : output(::GetStdHandle(STD_OUTPUT_HANDLE)) {
        if (::GetConsoleMode(output, &before)) {
            live = ::SetConsoleMode(output, before | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        }
    }
    ~LiveConsole() {
        if (live) {
            ::SetConsoleMode(output, before);
        }
    }
    LiveConsole(const LiveConsole&) = delete;
    LiveConsole& operator=(const LiveConsole&) = delete;

    bool isLive() const { return live; }

private:
    HANDLE output;
    DWORD before = 0;
    bool live = false;
};

} // namespace

int runSupervised(const ProductionLineRun& run) {
    LiveConsole console;
    LineSupervisor supervisor(run, console.isLive());
    if (const auto refused = supervisor.prepare()) {
        return *refused;
    }
    controlEvents(); // made before the handler can need it
    ::SetConsoleCtrlHandler(noteControlEvent, TRUE);
    supervisor.startWorkers();
    while (supervisor.running()) {
        ::WaitForSingleObject(workerActivity(), static_cast<DWORD>(supervisor.waitTime().count()));
        for (const int signal : takeControlEvents()) {
            supervisor.interrupt(signal);
        }
        supervisor.step();
    }
    const int status = supervisor.finish();
    controlEvents().status = status;
    ::SetEvent(controlEvents().done);
    return status;
}

} // namespace sparwick::cli
