#pragma once

#include "serial/CommTimeouts.h"

#include <cstdint>
#include <string>

// What the serial channel and the port list need of the operating system, one call for
// each Win32 call the channel is built on. Each operating system implements this
// in a file of its own (posix/, win32/); the logic above it is shared.
namespace sparwick::serialsys {

// A port handle; -1 means none, as INVALID_HANDLE_VALUE does on Windows.
using PortHandle = std::intptr_t;
inline constexpr PortHandle invalidPortHandle = -1;

// The guard semaphore; null means none.
using GuardHandle = void*;
inline constexpr std::uint32_t waitForever = 0xFFFFFFFFu;

enum class OpenFailure {
    none,
    inUse,  // the device exists but is held by another program or refused to us
    absent, // anything else: no such device
};

enum class LineResult { ok, getStateFailed, setStateFailed };

enum class ReleaseResult { ok, invalidHandle, failed };

// The two modem-control outputs, true for asserted.
struct ModemLines {
    bool dtr = false;
    bool rts = false;
    bool operator==(const ModemLines&) const = default;
};

enum class ModemResult {
    ok,
    unsupported, // the port has no modem lines (a pseudo-terminal, some USB CDC devices)
    failed,
};

// The device that a port name stands for by the platform's own naming ("\\.\COM3" on
// Windows, the fixed COM-name table elsewhere); empty when the name stands for none.
std::string systemDevicePath(const std::string& portName);

// Opens a device for exclusive, synchronous use (CreateFileA with share mode 0).
PortHandle openPort(const std::string& devicePath, OpenFailure* failure = nullptr);
void closePort(PortHandle port);

// Whether a serial port stands at devicePath: it opens, or it exists and another program
// holds it. Leaves nothing open.
bool probePort(const std::string& devicePath);

// Reads the port's line settings, sets the fixed ones of this channel (8N1, the rate in
// baud, XON/XOFF on output only, no hardware handshake, DTR and RTS off, every other
// setting as read) and writes them back: GetCommState, then SetCommState. Where the
// driver offers it, the port is also asked for low latency until it is closed.
// setStateFailed also for a rate the system cannot set.
LineResult applyLineSettings(PortHandle port, std::uint32_t baud);
// Changes only the rate of a port whose line settings have been applied; with binary, for
// a flasher in the device's RAM that talks binary, also turns software flow control off,
// XON and XOFF being data (every other setting as it is; the next open applies the
// channel's fixed settings again). setStateFailed also for a rate the system cannot set.
LineResult changeLineRate(PortHandle port, std::uint32_t baud, bool binary);

// Drives DTR and RTS to lines, both in one request where the system has one (TIOCMGET, then
// one TIOCMSET); on Windows EscapeCommFunction, DTR written after RTS, since the USB CDC
// driver passes the line state on only when DTR changes.
ModemResult setModemLines(PortHandle port, ModemLines lines);
// What every way out puts on DTR and RTS while the port stays open, an interruption's
// included, and what the close puts there before the port goes.
void keepModemLinesOnRelease(PortHandle port, ModemLines lines);

bool getCommTimeouts(PortHandle port, CommTimeouts& timeouts);
bool setCommTimeouts(PortHandle port, const CommTimeouts& timeouts);

// One blocking read or write under the port's time-outs (ReadFile, WriteFile).
bool readPort(PortHandle port, char* buffer, std::uint32_t wanted, std::uint32_t& received);
bool writePort(PortHandle port, const char* bytes, std::uint32_t length);

// Aborts pending transfers and empties both directions (PurgeComm with all four flags).
// An invalid handle makes it fail quietly.
void purgePort(PortHandle port);

// A semaphore of count one, no owner, not re-entrant.
GuardHandle createGuard();
bool waitGuard(GuardHandle guard, std::uint32_t timeoutMs);
ReleaseResult releaseGuard(GuardHandle guard);
void closeGuard(GuardHandle guard);

} // namespace sparwick::serialsys
