#pragma once

#include "flash/ResetWiring.h"
#include "platform/UserAbort.h"

#include <string>

namespace sparwick {

// The port has no modem lines to reset the board with; its message has been shown.
class ResetUnavailable : public UserAbort {};

// The board's RESET and P0.14 through the serial channel's DTR and RTS. Every change also
// tells the channel to leave both pins high on every way out, so that a board is never
// left held in reset or with P0.14 low.
class BoardReset {
public:
    BoardReset(const ResetWiring& wiring, const ResetTimings& timings);

    // Lets both pins go and so learns whether the open port has modem lines: one without
    // them shows a message naming portName and ends with ResetUnavailable, before any byte
    // has been sent.
    void requireLines(const std::string& portName);
    // RESET and P0.14 low, held; RESET high with P0.14 still low; the wait for the boot
    // loader (and a supervisor chip) to come up.
    void holdIntoIsp();
    // P0.14 high, once the boot loader has sampled it.
    void releaseIsp();
    // A RESET pulse with P0.14 high: the part starts as from power-on.
    void restart();

private:
    void drive(bool resetLow, bool ispLow);

    ResetWiring wiring;
    ResetTimings timings;
};

} // namespace sparwick
