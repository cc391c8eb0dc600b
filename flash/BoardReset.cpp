#include "flash/BoardReset.h"

#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"

namespace sparwick {

BoardReset::BoardReset(const ResetWiring& resetWiring, const ResetTimings& resetTimings)
    : wiring(resetWiring)
    , timings(resetTimings) {}

void BoardReset::drive(bool resetLow, bool ispLow) {
    const auto result =
        OsalSerialPort::instance().setModemLines(wiring.lines(resetLow, ispLow), wiring.released());
    if (result != serialsys::ModemResult::ok) {
        // The adapter has gone, or the port never opened.
        abortWithMessage(msg::couldNotCommunicate);
    }
}

void BoardReset::requireLines(const std::string& portName) {
    const auto result =
        OsalSerialPort::instance().setModemLines(wiring.released(), wiring.released());
    if (result == serialsys::ModemResult::unsupported) {
        const std::string device = devicePath(portName);
        showMessage(std::string(portName) + (device != portName ? " (" + device + ")" : "") +
                    std::string(msg::noModemLines));
        throw ResetUnavailable();
    }
    if (result != serialsys::ModemResult::ok) {
        // The port did not open: the message that says what to check.
        abortWithMessage(msg::noDevice);
    }
}

void BoardReset::holdIntoIsp() {
    drive(true, true);
    sleepMilliseconds(timings.holdMs);
    drive(false, true);
    sleepMilliseconds(timings.waitMs);
}

void BoardReset::releaseIsp() {
    drive(false, false);
}

void BoardReset::restart() {
    drive(true, false);
    sleepMilliseconds(timings.holdMs);
    drive(false, false);
}

} // namespace sparwick
