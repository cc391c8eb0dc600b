#pragma once

#include <cstdint>

namespace sparwick::sim {

// The boot loader's return codes, sent as decimal text on a line of their own.
enum class IspStatus : std::uint32_t {
    cmdSuccess = 0,
    invalidCommand = 1,
    srcAddrError = 2,
    dstAddrError = 3,
    srcAddrNotMapped = 4,
    dstAddrNotMapped = 5,
    countError = 6,
    invalidSector = 7,
    sectorNotBlank = 8,
    sectorNotPreparedForWriteOperation = 9,
    compareError = 10,
    busy = 11,
    paramError = 12,
    addrError = 13,
    addrNotMapped = 14,
    cmdLocked = 15,
    invalidCode = 16,
    invalidBaudRate = 17,
    invalidStopBit = 18,
    codeReadProtectionEnabled = 19,
};

} // namespace sparwick::sim
