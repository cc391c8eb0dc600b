// On Windows a console control handler runs on a thread of its own while the update
// goes on. It lets the board's RESET and P0.14 go where a reset drove them, writes the
// message and ends the process on the spot: the system closes the port's handle, which is
// all a Windows port needs to be usable again, and the update's thread never sends another
// byte.
#include "cli/InterruptScope.h"

#include "serial/win32/PortRelease.h"

#include <atomic>
#include <windows.h>

namespace sparwick::cli {
namespace {

// The statuses a POSIX shell reports for SIGINT and SIGHUP, so that scripts see the same.
constexpr UINT interruptedStatus = 130;
constexpr UINT closedStatus = 129;

std::atomic<bool> ending{false};
// The message an interruption shows: interruptedMessage or another constant.
std::atomic<const char*> shownText{nullptr};
std::atomic<DWORD> shownSize{0};

BOOL WINAPI endInterruptedUpdate(DWORD event) {
    const UINT status =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT
            ? closedStatus
            : interruptedStatus;
    if (!ending.exchange(true)) {
        serialsys::releaseOpenPortsNow();
        HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        ::WriteFile(err, shownText.load(), shownSize.load(), &written, nullptr);
        ::WriteFile(err, "\r\n", 2, &written, nullptr);
    }
    ::TerminateProcess(::GetCurrentProcess(), status);
    return TRUE;
}

} // namespace

InterruptScope::InterruptScope(std::string_view message) {
    shownText = message.data();
    shownSize = static_cast<DWORD>(message.size());
    ::SetConsoleCtrlHandler(endInterruptedUpdate, TRUE);
}

InterruptScope::~InterruptScope() {
    ::SetConsoleCtrlHandler(endInterruptedUpdate, FALSE);
}

} // namespace sparwick::cli
