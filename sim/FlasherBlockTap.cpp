#include "sim/FlasherBlockTap.h"

#include "sim/FaultInjector.h"
#include "stub/TurboProtocol.h"

#include <array>
#include <utility>

namespace sparwick::sim {

namespace {

using turbo::Command;

constexpr auto dataCommand = static_cast<std::uint8_t>(Command::data);
constexpr auto compressedCommand = static_cast<std::uint8_t>(Command::compressedData);
// The flasher's requests and how many 32-bit arguments each takes; any other byte is a
// request of its own.
constexpr std::array<std::pair<Command, std::uint32_t>, 9> argumentWords = {{
    {Command::hello, 3},
    {Command::data, 1},
    {Command::compressedData, 1},
    {Command::prepare, 2},
    {Command::erase, 2},
    {Command::write, 2},
    {Command::crc, 2},
    {Command::sums, 3},
    {Command::go, 0},
}};
// The lengths the flasher takes: a multiple of 4 from 4 to this.
constexpr std::uint32_t blockMax = TURBO_BLOCK_MAX;
constexpr std::uint32_t crcBytes = 4;
constexpr std::uint8_t garbleMask = 0xFF;

} // namespace

FlasherBlockTap::FlasherBlockTap(FaultInjector& faultInjector)
    : faults(faultInjector) {}

std::uint8_t FlasherBlockTap::received(std::uint8_t byte) {
    ++bytes;
    if (blockBytes > 0) {
        --blockBytes;
        if (garbleNext) {
            garbleNext = false;
            return static_cast<std::uint8_t>(byte ^ garbleMask);
        }
        return byte;
    }
    if (argumentBytes > 0) {
        --argumentBytes;
        if (command == dataCommand || command == compressedCommand) {
            length = length >> 8 | std::uint32_t{byte} << 24;
            if (argumentBytes == 0 && length % 4 == 0 && length >= 4 && length <= blockMax) {
                blockBytes = length + crcBytes;
                const auto fault = faults.occurrence(FaultStep::flasherBlock);
                garbleNext = fault.has_value() && fault->action == FaultAction::garble;
            }
        }
        return byte;
    }
    command = byte;
    length = 0;
    for (const auto& [name, words] : argumentWords) {
        if (static_cast<std::uint8_t>(name) == byte) {
            argumentBytes = words * 4;
        }
    }
    return byte;
}

} // namespace sparwick::sim
