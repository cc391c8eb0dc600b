// The part's pins: RESET and P0.14 as the host's DTR and RTS drive them through the pin
// bridge, and what the part does as it leaves reset.
#include "sim/PseudoTerminal.h"
#include "sim/SimulatedDevice.h"
#include "sim/pins/PinSocket.h"

#include <string>
#include <sys/ioctl.h>

namespace sparwick::sim {

void SimulatedDevice::openPinSocket() {
    if (options.pins) {
        pinSocket.reset();
        pinSocket = std::make_unique<PinSocket>(pty->slavePath());
    }
}

void SimulatedDevice::startPart() {
    ramProgram.reset();
    bootLoader->powerOn();
    resetLine();
    firmwareFromReset = false;
    if (resetLow) {
        firmwareRunning = false;
        return;
    }
    // Without a host driving the pins, P0.14 is where --boot puts it. The third level of
    // code read protection ignores the pin.
    const bool ispPin = (options.pins && linesDriven ? ispLow : !options.bootUser) &&
                        bootLoader->codeReadProtection() < 3;
    firmwareRunning = !ispPin && bootLoader->flash().holdsValidUserCode();
    event(firmwareRunning ? "the part runs its firmware"
          : ispPin        ? "the part enters its boot loader (P0.14 low)"
                          : "the part enters its boot loader (no valid user code)");
    if (!firmwareRunning && bootLoader->codeReadProtection() != 0) {
        event("code read protection level " + std::to_string(bootLoader->codeReadProtection()));
    }
}

void SimulatedDevice::changeLines(std::int32_t lines) {
    linesDriven = true;
    const PinWiring wiring = *options.pins;
    const auto pinLow = [&](bool dtrLine) {
        const bool asserted = (lines & (dtrLine ? TIOCM_DTR : TIOCM_RTS)) != 0;
        return asserted != wiring.assertedIsHigh;
    };
    const bool wasHeld = resetLow;
    const bool newResetLow = pinLow(wiring.dtrDrivesReset);
    const bool newIspLow = pinLow(!wiring.dtrDrivesReset);
    if (newResetLow == resetLow && newIspLow == ispLow) {
        return;
    }
    resetLow = newResetLow;
    ispLow = newIspLow;
    event(std::string("pins: RESET ") + (resetLow ? "low" : "high") + ", P0.14 " +
          (ispLow ? "low" : "high"));
    if (resetLow && !wasHeld) {
        // Held in reset the part answers nothing and forgets what it was doing.
        startPart();
    } else if (!resetLow && wasHeld) {
        ++pinResets;
        startPart();
        firmwareFromReset = firmwareRunning;
    }
}

} // namespace sparwick::sim
