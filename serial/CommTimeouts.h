#pragma once

#include <cstdint>

namespace sparwick {

// The port's time-outs in the vocabulary of the Windows COMMTIMEOUTS structure, which
// every backend implements to the same rules:
// - a read ends when the wanted count has arrived; or, once a byte has arrived, when more
//   than readIntervalTimeout ms pass without another (0: no interval limit); or when
//   readTotalTimeoutMultiplier * wanted + readTotalTimeoutConstant ms have passed since
//   it began (both 0: no total limit). What has arrived is delivered and the read counts
//   as successful.
// - a write ends when everything is sent or when writeTotalTimeoutMultiplier * length +
//   writeTotalTimeoutConstant ms have passed (both 0: no limit); what is unsent by then is
//   dropped from the call.
struct CommTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

} // namespace sparwick
