#pragma once

#include "serial/SerialSystem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sparwick {

// The process's one serial channel to the device: at most one open port, opened with the
// fixed line settings and time-outs of the ISP link, and guarded read, write and purge.
// Every fault it detects is shown to the user and ends the caller with UserAbort.
class OsalSerialPort {
public:
    static OsalSerialPort& instance();

    virtual ~OsalSerialPort();
    OsalSerialPort(const OsalSerialPort&) = delete;
    OsalSerialPort& operator=(const OsalSerialPort&) = delete;

    // Stores the speed choice and makes name the open port. True when the port is open
    // on name, or name is already the current name (then nothing is opened or closed).
    // False when name does not open; the previous port is then reopened. With baud, the
    // line's rate is that in place of the speed's (any rate the system can set), and
    // highSpeed stands only for the pause after each data line.
    bool selectPort(const std::string& name, bool highSpeed,
                    std::optional<std::uint32_t> baud = std::nullopt);

    // Switches the line rate in the middle of a session: at once on an open port, and on
    // every later open until the next selectPort. A rate the system cannot set shows
    // "SetCommState error!" and ends with UserAbort; the port keeps its rate.
    void setBaudRate(std::uint32_t baud);
    // The rate the line runs at: the one set, or the speed's.
    std::uint32_t baudRate() const;

    // Closes the port if one is open and forgets its name.
    void close();

    // One read of up to bytesWanted bytes under the channel's time-out rules, waiting at
    // most timeoutMs in all. A time-out is a successful read of what arrived, possibly
    // nothing; false means no port is open or the device failed (or went away). The
    // buffer is not terminated. bytesWanted below 1 returns false and touches nothing.
    bool read(char* buffer, std::uint32_t& bytesRead, std::int32_t bytesWanted,
              std::uint32_t timeoutMs);

    // Sends length bytes; false when no port is open or the device failed.
    bool write(const char* bytes, std::int32_t length);

    // Waits delayMs, then discards whatever is pending in both directions.
    void purge(std::uint32_t delayMs);

    // Switches the open port to a flasher's binary line (SerialSystem's changeLineRate);
    // false when no port is open or the line cannot be set. Closing the port ends it.
    bool switchToBinaryLine(std::uint32_t baud);

    // Drives DTR and RTS of the open port to lines and has every later way out (the close,
    // an interruption) leave release on them. failed when no port is open.
    serialsys::ModemResult setModemLines(serialsys::ModemLines lines,
                                         serialsys::ModemLines release);

    bool isHighSpeed() const { return highSpeed; }

private:
    OsalSerialPort();

    bool open();
    void closeHandle();
    void takeGuard();
    void giveGuardBack();
    template <typename Body>
    bool guarded(Body&& body);

    serialsys::PortHandle portHandle;
    std::string portName;
    serialsys::GuardHandle guard;
    bool openFlag;
    bool highSpeed;
    std::optional<std::uint32_t> chosenBaud;
};

} // namespace sparwick
