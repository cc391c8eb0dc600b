#pragma once

#include <cstdint>
#include <string_view>

namespace sparwick::sim {

class TargetMemory;

// W's data from the device's side. Uuencoded lines go to RAM as they come; after every
// twenty lines, and after the last, a checksum line says whether the group arrived whole
// (OK: the next group follows) or not (RESEND: the host sends the same group again).
class WriteTransfer {
public:
    WriteTransfer() = default;
    WriteTransfer(std::uint32_t startAddress, std::uint32_t byteCount)
        : address(startAddress)
        , count(byteCount) {}

    // Whether the next line is the group's checksum rather than data.
    bool expectsChecksum() const { return checksumDue; }
    void dataLine(std::string_view text, TargetMemory& memory);
    // The group's checksum line: whether the group is kept (OK) or wanted again (RESEND).
    // rejected: RESEND even to a matching sum.
    bool checksumLine(std::string_view text, bool rejected);
    // Every byte announced has arrived in a group the host's checksum confirmed.
    bool complete() const { return committed >= count; }

private:
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::uint32_t committed = 0;
    std::uint32_t groupBytes = 0;
    std::uint32_t groupLines = 0;
    std::uint64_t groupSum = 0;
    bool groupBad = false;
    bool checksumDue = false;
};

} // namespace sparwick::sim
