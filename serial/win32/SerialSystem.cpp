// The serial channel's operating-system calls on Windows: the Win32 communications API,
// synchronous handles, no overlapped I/O.
#include "serial/SerialSystem.h"

#include "serial/win32/PortRelease.h"

#include <windows.h>

namespace sparwick::serialsys {
namespace {

HANDLE handleOf(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

// The lines the close leaves on the channel's port once they have been driven: one port
// at a time is the channel's.
struct ReleaseLines {
    HANDLE port = INVALID_HANDLE_VALUE;
    ModemLines lines;
};
ReleaseLines releaseLines;

// RTS first, then DTR: the USB CDC driver sends the line state to the adapter only on a
// DTR request, so DTR is written after every RTS change, with its value unchanged (a
// pulse on it would reset a board wired to it).
bool escapeLines(HANDLE port, ModemLines lines) {
    return ::EscapeCommFunction(port, lines.rts ? SETRTS : CLRRTS) &&
           ::EscapeCommFunction(port, lines.dtr ? SETDTR : CLRDTR);
}

// Purge everything in both directions and abort whatever is under way.
constexpr DWORD purgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

} // namespace

std::string systemDevicePath(const std::string& portName) {
    return "\\\\.\\" + portName;
}

PortHandle openPort(const std::string& devicePath, OpenFailure* failure) {
    HANDLE h = ::CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (failure) {
        *failure = h != INVALID_HANDLE_VALUE                 ? OpenFailure::none
                   : ::GetLastError() == ERROR_ACCESS_DENIED ? OpenFailure::inUse
                                                             : OpenFailure::absent;
    }
    return reinterpret_cast<PortHandle>(h);
}

void closePort(PortHandle port) {
    if (releaseLines.port == handleOf(port)) {
        escapeLines(handleOf(port), releaseLines.lines);
        releaseLines = {};
    }
    ::CloseHandle(handleOf(port));
}

bool probePort(const std::string& devicePath) {
    OpenFailure why = OpenFailure::none;
    PortHandle port = openPort(devicePath, &why);
    if (port == invalidPortHandle) {
        return why == OpenFailure::inUse;
    }
    closePort(port);
    return true;
}

LineResult applyLineSettings(PortHandle port, std::uint32_t baud) {
    // Zeroed but for its own length, which Windows expects the caller to fill in.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handleOf(port), &dcb)) {
        return LineResult::getStateFailed;
    }
    // The driver takes any rate it can make; the two speeds are CBR_115200 and CBR_19200.
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 1; // the device's XOFF stops our output
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0; // zero bytes reach the reader
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!::SetCommState(handleOf(port), &dcb)) {
        return LineResult::setStateFailed;
    }
    return LineResult::ok;
}

ModemResult setModemLines(PortHandle port, ModemLines lines) {
    if (escapeLines(handleOf(port), lines)) {
        return ModemResult::ok;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION
               ? ModemResult::unsupported
               : ModemResult::failed;
}

void keepModemLinesOnRelease(PortHandle port, ModemLines lines) {
    releaseLines = {handleOf(port), lines};
}

void releaseOpenPortsNow() noexcept {
    if (releaseLines.port != INVALID_HANDLE_VALUE) {
        escapeLines(releaseLines.port, releaseLines.lines);
    }
}

// The rate of an open port, and with binary the end of XON/XOFF: a flasher's binary data
// holds 0x11 and 0x13 like any other byte.
LineResult changeLineRate(PortHandle port, std::uint32_t baud, bool binary) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handleOf(port), &dcb)) {
        return LineResult::getStateFailed;
    }
    dcb.BaudRate = baud;
    if (binary) {
        dcb.fOutX = 0;
        dcb.fInX = 0;
    }
    return ::SetCommState(handleOf(port), &dcb) ? LineResult::ok : LineResult::setStateFailed;
}

bool getCommTimeouts(PortHandle port, CommTimeouts& timeouts) {
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(handleOf(port), &t)) {
        return false;
    }
    timeouts.readIntervalTimeout = t.ReadIntervalTimeout;
    timeouts.readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts.readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts.writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts.writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return true;
}

bool setCommTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
    return ::SetCommTimeouts(handleOf(port), &t) != 0;
}

bool readPort(PortHandle port, char* buffer, std::uint32_t wanted, std::uint32_t& received) {
    DWORD got = 0;
    BOOL ok = ::ReadFile(handleOf(port), buffer, wanted, &got, nullptr);
    received = got;
    return ok != 0;
}

bool writePort(PortHandle port, const char* bytes, std::uint32_t length) {
    DWORD written = 0;
    return ::WriteFile(handleOf(port), bytes, length, &written, nullptr) != 0;
}

void purgePort(PortHandle port) {
    ::PurgeComm(handleOf(port), purgeAll);
}

GuardHandle createGuard() {
    return ::CreateSemaphoreA(nullptr, 1, 1, nullptr);
}

bool waitGuard(GuardHandle guard, std::uint32_t timeoutMs) {
    DWORD wait = timeoutMs == waitForever ? INFINITE : timeoutMs;
    return ::WaitForSingleObject(guard, wait) == WAIT_OBJECT_0;
}

ReleaseResult releaseGuard(GuardHandle guard) {
    if (::ReleaseSemaphore(guard, 1, nullptr)) {
        return ReleaseResult::ok;
    }
    return ::GetLastError() == ERROR_INVALID_HANDLE ? ReleaseResult::invalidHandle
                                                    : ReleaseResult::failed;
}

void closeGuard(GuardHandle guard) {
    if (guard) {
        ::CloseHandle(guard);
    }
}

} // namespace sparwick::serialsys
