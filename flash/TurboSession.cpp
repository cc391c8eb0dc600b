#include "flash/TurboSession.h"

#include "flash/FlashLayout.h"
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "serial/OsalSerialPort.h"
#include "stub/EmbeddedFlasher.h"
#include "stub/TurboProtocol.h"

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace sparwick {
namespace {

using turbo::Command;
using turbo::Status;

// A block of the update is one copy, which the flasher's buffer must hold.
static_assert(layout::copyLength <= TURBO_BLOCK_MAX);

// A reply comes within this long, beyond the time the device's flash may be busy: an
// erase of every sector, or a CRC over the whole flash.
constexpr std::uint32_t replyTimeoutMs = 1000;
constexpr std::uint32_t eraseTimeoutMs = 5000;
// The flasher's CRC-32 takes about 12 clocks a byte: 0.2 ms a kilobyte at 58.98 MHz, four
// times as long on the crystal; a sum's reply comes within this long a kilobyte.
constexpr std::uint32_t sumMsPerKilobyte = 2;
// The flasher starts within microseconds of the boot loader's reply to G; what the host
// sends while it switches its own rate may still be lost, so the handshake is tried again.
constexpr int handshakeAttempts = 3;
constexpr std::uint32_t handshakeTimeoutMs = 200;
constexpr std::uint32_t switchSettleMs = 5;
// A block whose CRC fails is sent this many times in all.
constexpr int blockAttempts = 3;

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

[[noreturn]] void fail(const char* step, const std::string& detail) {
    abortWithMessage(std::string(msg::turboFailedPrefix) + step + " failed (" + detail + "). " +
                     std::string(msg::turboRecovery));
}

std::string describe(std::uint8_t status, std::uint32_t value) {
    switch (static_cast<Status>(status)) {
    case Status::iapFailed:
        return "IAP status " + std::to_string(value);
    case Status::badCrc:
        return "block CRC failed";
    case Status::wrongVersion:
        return "flasher version " + std::to_string(value) + ", this program's " +
               std::to_string(turbo::version);
    default:
        return "flasher status " + std::to_string(status);
    }
}

std::uint8_t byteOf(Command command) {
    return static_cast<std::uint8_t>(command);
}

// The reflected CRC-32 (polynomial 0xEDB88320) a byte at a time, as the flasher computes it.
constexpr std::array<std::uint32_t, 256> crcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < table.size(); ++n) {
        std::uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) != 0 ? 0xEDB88320u : 0u);
        }
        table[n] = crc;
    }
    return table;
}();

} // namespace

TurboSession::TurboSession(std::uint32_t lineBaud)
    : baud(lineBaud) {}

std::uint32_t TurboSession::crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    for (const std::uint8_t byte : bytes) {
        crc = (crc >> 8) ^ crcTable[(crc ^ byte) & 0xFFu];
    }
    return ~crc;
}

void TurboSession::start(UpdateContext& context, std::uint32_t flashSize) {
    const auto image = turbo::embeddedFlasher();
    std::vector<std::uint8_t> bytes(image.begin(), image.end());
    const std::uint32_t divisor = turbo::peripheralClockHz / (16 * baud);
    for (std::uint32_t i = 0; i < 4; ++i) {
        bytes[turbo::divisorOffset + i] = static_cast<std::uint8_t>(divisor >> (8 * i));
    }
    context.writeToRam(turbo::loadAddress, static_cast<std::uint32_t>(bytes.size()), bytes.data());
    context.goToAddress(turbo::loadAddress);
    OsalSerialPort& port = OsalSerialPort::instance();
    if (!port.switchToBinaryLine(baud)) {
        fail("start", "the port cannot run at " + std::to_string(baud) + " baud");
    }
    for (int attempt = 0; attempt < handshakeAttempts; ++attempt) {
        port.purge(switchSettleMs);
        if (handshake(flashSize)) {
            return;
        }
    }
    fail("handshake", "no answer at " + std::to_string(baud) + " baud");
}

bool TurboSession::handshake(std::uint32_t flashSize) {
    const std::array<std::uint32_t, 3> args{turbo::version, flashSize,
                                            turbo::helloCheck(turbo::version, flashSize)};
    const Reply reply = request(byteOf(Command::hello), args, {}, handshakeTimeoutMs);
    if (reply.complete && reply.status == static_cast<std::uint8_t>(Status::wrongVersion)) {
        fail("handshake", describe(reply.status, reply.value));
    }
    return reply.complete && reply.status == static_cast<std::uint8_t>(Status::ok) &&
           reply.value == turbo::version;
}

void TurboSession::send(std::uint8_t command, std::span<const std::uint32_t> args,
                        std::span<const std::uint8_t> payload) {
    std::string out(1, static_cast<char>(command));
    for (const std::uint32_t arg : args) {
        put32(out, arg);
    }
    if (!payload.empty()) {
        out.append(payload.begin(), payload.end());
        put32(out, crc32(payload));
    }
    // A failed write shows up as a missing reply.
    OsalSerialPort::instance().write(out.data(), static_cast<std::int32_t>(out.size()));
}

TurboSession::Reply TurboSession::request(std::uint8_t command, std::span<const std::uint32_t> args,
                                          std::span<const std::uint8_t> payload,
                                          std::uint32_t timeoutMs) {
    send(command, args, payload);
    return receive(timeoutMs != 0 ? timeoutMs : replyTimeoutMs);
}

TurboSession::Reply TurboSession::receive(std::uint32_t timeoutMs) {
    // A reply may come in pieces (an adapter's packets, a flasher busy between its bytes).
    std::array<char, turbo::replySize> bytes{};
    std::uint32_t have = 0;
    Reply reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (have < turbo::replySize) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::uint32_t got = 0;
        if (left.count() <= 0 ||
            !OsalSerialPort::instance().read(bytes.data() + have, got,
                                             static_cast<std::int32_t>(turbo::replySize - have),
                                             static_cast<std::uint32_t>(left.count()))) {
            return reply;
        }
        have += got;
    }
    reply.complete = true;
    reply.status = static_cast<std::uint8_t>(bytes[0]);
    for (std::size_t i = 0; i < 4; ++i) {
        reply.value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[1 + i]))
                       << (8 * i);
    }
    return reply;
}

void TurboSession::require(const Reply& reply, const char* step) {
    if (!reply.complete) {
        fail(step, "no answer");
    }
    if (reply.status != static_cast<std::uint8_t>(Status::ok)) {
        fail(step, describe(reply.status, reply.value));
    }
}

std::vector<std::uint32_t> TurboSession::sums(std::uint32_t flashAddress, std::uint32_t length,
                                              std::uint32_t count) {
    const std::array<std::uint32_t, 3> args{flashAddress, length, count};
    send(byteOf(Command::sums), args);
    std::vector<std::uint32_t> crcs;
    crcs.reserve(count);
    const std::uint32_t timeoutMs = replyTimeoutMs + sumMsPerKilobyte * (length / 1024);
    for (std::uint32_t i = 0; i < count; ++i) {
        const Reply reply = receive(timeoutMs);
        require(reply, "compare");
        crcs.push_back(reply.value);
    }
    return crcs;
}

void TurboSession::prepareAndErase(std::uint32_t firstSector, std::uint32_t lastSector) {
    const std::array<std::uint32_t, 2> sectors{firstSector, lastSector};
    require(request(byteOf(Command::prepare), sectors), "prepare");
    require(request(byteOf(Command::erase), sectors, {}, eraseTimeoutMs), "erase");
}

void TurboSession::writeBlock(std::uint32_t flashAddress, std::span<const std::uint8_t> block,
                              std::uint32_t sector) {
    const std::array<std::uint32_t, 1> length{static_cast<std::uint32_t>(block.size())};
    Reply sent;
    for (int attempt = 0; attempt < blockAttempts; ++attempt) {
        sent = request(byteOf(Command::data), length, block);
        if (!sent.complete || sent.status != static_cast<std::uint8_t>(Status::badCrc)) {
            break;
        }
    }
    require(sent, "block");
    const std::array<std::uint32_t, 2> sectors{sector, sector};
    require(request(byteOf(Command::prepare), sectors), "prepare");
    const std::array<std::uint32_t, 2> copy{flashAddress, static_cast<std::uint32_t>(block.size())};
    require(request(byteOf(Command::write), copy), "copy");
}

void TurboSession::verify(std::uint32_t flashAddress, std::uint32_t size,
                          std::uint32_t expectedCrc) {
    const std::array<std::uint32_t, 2> range{flashAddress, size};
    const Reply reply = request(byteOf(Command::crc), range, {}, eraseTimeoutMs);
    require(reply, "verify");
    if (reply.value != expectedCrc) {
        fail("verify", "flash CRC-32 differs from the image's");
    }
}

void TurboSession::go() {
    require(request(byteOf(Command::go), {}), "go");
}

} // namespace sparwick
