#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sparwick::sim {

class TargetMemory;

// R's reply from the device's side: the memory in uuencoded lines, a sum after every
// twenty lines and after the last. The host answers each group OK (the next one follows)
// or RESEND (the same one again).
class ReadTransfer {
public:
    // What the host's answer to a group means.
    enum class Answer {
        next,     // OK, and more to send
        finished, // OK to the last group
        again,    // RESEND
        unknown,  // neither: the boot loader keeps waiting for one
    };

    struct Group {
        std::string lines; // each with its line end
        std::uint64_t sum = 0;
    };

    ReadTransfer() = default;
    ReadTransfer(std::uint32_t startAddress, std::uint32_t byteCount)
        : address(startAddress)
        , count(byteCount) {}

    // The group that follows what the host has confirmed.
    Group group(const TargetMemory& memory);
    Answer answer(std::string_view line);

private:
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::uint32_t committed = 0;
    std::uint32_t groupBytes = 0;
};

} // namespace sparwick::sim
