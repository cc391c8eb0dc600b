#include "serial/OsalSerialPort.h"

#include "platform/MessageBox.h"
#include "platform/Sleep.h"
#include "serial/DeviceNames.h"
#include "serial/LineRates.h"
#include "serial/SerialMessages.h"

namespace sparwick {
namespace {

// The line's fixed time-outs: a read ends 20 ms after the last byte once one has come;
// a write gives up after 5 s. Each read sets its own total time-out.
constexpr std::uint32_t readIntervalMs = 20;
constexpr std::uint32_t defaultReadTotalMs = 600;
constexpr std::uint32_t writeTotalMs = 5000;

// The destructor runs at process exit, when nobody may be left to give the guard back.
constexpr std::uint32_t exitGuardWaitMs = 10;

void requireLineSettings(serialsys::LineResult result) {
    switch (result) {
    case serialsys::LineResult::getStateFailed:
        abortWithMessage(serialmsg::getCommStateError);
    case serialsys::LineResult::setStateFailed:
        abortWithMessage(serialmsg::setCommStateError);
    case serialsys::LineResult::ok:
        break;
    }
}

} // namespace

OsalSerialPort& OsalSerialPort::instance() {
    // Built on first use, destroyed at process exit.
    static OsalSerialPort channel;
    return channel;
}

OsalSerialPort::OsalSerialPort()
    : portHandle(serialsys::invalidPortHandle)
    , guard(serialsys::createGuard())
    , openFlag(false)
    , highSpeed(true) {
    // A guard that could not be made shows up as "OSAL semaphore error!" at the first
    // guarded operation.
}

OsalSerialPort::~OsalSerialPort() {
    // The port itself has been closed by the last update's clean-up.
    serialsys::waitGuard(guard, exitGuardWaitMs);
    serialsys::closeGuard(guard);
    guard = nullptr;
    portName.clear();
}

void OsalSerialPort::takeGuard() {
    if (!serialsys::waitGuard(guard, serialsys::waitForever)) {
        abortWithMessage(serialmsg::semaphoreError);
    }
}

void OsalSerialPort::giveGuardBack() {
    // A guard that no longer exists cannot be held by anyone: that release is as good as
    // done. Any other failure leaves the channel unusable and is reported.
    if (serialsys::releaseGuard(guard) == serialsys::ReleaseResult::failed) {
        abortWithMessage(serialmsg::semaphoreError);
    }
}

void OsalSerialPort::closeHandle() {
    if (portHandle != serialsys::invalidPortHandle) {
        serialsys::closePort(portHandle);
        portHandle = serialsys::invalidPortHandle;
        openFlag = false;
    }
}

// Runs one guarded operation. The guard is given back on every way out; when the body
// leaves by an exception, that exception (whose message has been shown) is the one that
// goes on, whatever the release says.
template <typename Body>
bool OsalSerialPort::guarded(Body&& body) {
    takeGuard();
    bool result = false;
    try {
        result = body();
    } catch (...) {
        serialsys::releaseGuard(guard);
        throw;
    }
    giveGuardBack();
    return result;
}

bool OsalSerialPort::selectPort(const std::string& name, bool newHighSpeed,
                                std::optional<std::uint32_t> baud) {
    highSpeed = newHighSpeed;
    chosenBaud = baud;
    return guarded([&] {
        if (name == portName) {
            // Already selected: nothing is reopened, so a new speed or rate waits for the next
            // open.
            return true;
        }
        if (name.size() != 4 && name.size() != 5) {
            abortWithMessage(serialmsg::portNameSize);
        }
        std::string oldName = portName;
        closeHandle();
        portName = name;
        if (open()) {
            return true;
        }
        // Fall back to the port that was open before; with no old name this fails
        // quietly and the channel stays closed.
        closeHandle();
        portName = std::move(oldName);
        open();
        return false;
    });
}

bool OsalSerialPort::open() {
    portHandle = serialsys::openPort(devicePath(portName));
    if (portHandle == serialsys::invalidPortHandle) {
        return false;
    }
    // From here on a failure leaves the port half-open: the handle stays valid, the flag
    // stays clear, and the next close closes it.
    requireLineSettings(serialsys::applyLineSettings(portHandle, baudRate()));
    CommTimeouts timeouts;
    if (!serialsys::getCommTimeouts(portHandle, timeouts)) {
        abortWithMessage(serialmsg::getCommTimeoutsError);
    }
    timeouts.readIntervalTimeout = readIntervalMs;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = defaultReadTotalMs;
    timeouts.writeTotalTimeoutMultiplier = 0;
    timeouts.writeTotalTimeoutConstant = writeTotalMs;
    if (!serialsys::setCommTimeouts(portHandle, timeouts)) {
        abortWithMessage(serialmsg::setCommTimeoutsError);
    }
    openFlag = true;
    return true;
}

std::uint32_t OsalSerialPort::baudRate() const {
    return chosenBaud.value_or(linerate::ofSpeed(highSpeed));
}

void OsalSerialPort::setBaudRate(std::uint32_t baud) {
    guarded([&] {
        if (openFlag) {
            requireLineSettings(serialsys::changeLineRate(portHandle, baud, false));
        }
        chosenBaud = baud;
        return true;
    });
}

void OsalSerialPort::close() {
    // The outcome of the wait is not examined: closing must work even without a guard.
    serialsys::waitGuard(guard, serialsys::waitForever);
    closeHandle();
    portName.clear();
    giveGuardBack();
}

bool OsalSerialPort::read(char* buffer, std::uint32_t& bytesRead, std::int32_t bytesWanted,
                          std::uint32_t timeoutMs) {
    if (bytesWanted < 1) {
        return false;
    }
    return guarded([&] {
        bytesRead = 0;
        if (!openFlag) {
            return false;
        }
        CommTimeouts timeouts;
        if (!serialsys::getCommTimeouts(portHandle, timeouts)) {
            abortWithMessage(serialmsg::getCommTimeoutsError);
        }
        timeouts.readTotalTimeoutConstant = timeoutMs;
        if (!serialsys::setCommTimeouts(portHandle, timeouts)) {
            abortWithMessage(serialmsg::setCommTimeoutsError);
        }
        return serialsys::readPort(portHandle, buffer, static_cast<std::uint32_t>(bytesWanted),
                                   bytesRead);
    });
}

bool OsalSerialPort::write(const char* bytes, std::int32_t length) {
    return guarded([&] {
        // A negative length has no bytes behind it: it is refused rather than sent as a
        // huge unsigned count.
        if (portHandle == serialsys::invalidPortHandle || length < 0) {
            return false;
        }
        return serialsys::writePort(portHandle, bytes, static_cast<std::uint32_t>(length));
    });
}

bool OsalSerialPort::switchToBinaryLine(std::uint32_t baud) {
    return guarded([&] {
        return openFlag &&
               serialsys::changeLineRate(portHandle, baud, true) == serialsys::LineResult::ok;
    });
}

serialsys::ModemResult OsalSerialPort::setModemLines(serialsys::ModemLines lines,
                                                     serialsys::ModemLines release) {
    serialsys::ModemResult result = serialsys::ModemResult::failed;
    guarded([&] {
        if (openFlag) {
            // Kept first: an interruption between the two finds the lines to leave.
            serialsys::keepModemLinesOnRelease(portHandle, release);
            result = serialsys::setModemLines(portHandle, lines);
        }
        return true;
    });
    return result;
}

void OsalSerialPort::purge(std::uint32_t delayMs) {
    sleepMilliseconds(delayMs);
    serialsys::purgePort(portHandle);
}

} // namespace sparwick
