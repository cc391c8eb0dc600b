#include "flash/TurboSession.h"

#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/MessageBox.h"
#include "serial/OsalSerialPort.h"
#include "stub/EmbeddedFlasher.h"
#include "stub/TurboProtocol.h"

#include <array>
#include <string>
#include <vector>

namespace sparwick {
namespace {

// A reply comes within this long, beyond the time the device's flash may be busy: an
// erase of every sector, or a CRC over the whole flash.
constexpr std::uint32_t replyTimeoutMs = 1000;
constexpr std::uint32_t eraseTimeoutMs = 5000;
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
    switch (status) {
    case TURBO_ERR_IAP:
        return "IAP status " + std::to_string(value);
    case TURBO_ERR_CRC:
        return "block CRC failed";
    case TURBO_ERR_VERSION:
        return "flasher version " + std::to_string(value);
    default:
        return "flasher status " + std::to_string(status);
    }
}

} // namespace

TurboSession::TurboSession(std::uint32_t lineBaud)
    : baud(lineBaud) {}

std::uint32_t TurboSession::crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) != 0 ? 0xEDB88320u : 0u);
        }
    }
    return ~crc;
}

void TurboSession::start(UpdateContext& context) {
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
        if (handshake()) {
            return;
        }
    }
    fail("handshake", "no answer at " + std::to_string(baud) + " baud");
}

bool TurboSession::handshake() {
    const std::array<std::uint32_t, 1> args{turbo::version};
    const Reply reply = request(TURBO_CMD_HELLO, args, {}, handshakeTimeoutMs);
    if (reply.complete && reply.status == TURBO_ERR_VERSION) {
        fail("handshake", describe(reply.status, reply.value));
    }
    return reply.complete && reply.status == TURBO_OK && reply.value == turbo::version;
}

TurboSession::Reply TurboSession::request(std::uint8_t command, std::span<const std::uint32_t> args,
                                          std::span<const std::uint8_t> payload,
                                          std::uint32_t timeoutMs) {
    std::string out(1, static_cast<char>(command));
    for (const std::uint32_t arg : args) {
        put32(out, arg);
    }
    if (!payload.empty()) {
        out.append(payload.begin(), payload.end());
        put32(out, crc32(payload));
    }
    OsalSerialPort& port = OsalSerialPort::instance();
    // A failed write shows up as a missing reply.
    port.write(out.data(), static_cast<std::int32_t>(out.size()));
    std::array<char, turbo::replySize> bytes{};
    std::uint32_t got = 0;
    Reply reply;
    if (!port.read(bytes.data(), got, turbo::replySize,
                   timeoutMs != 0 ? timeoutMs : replyTimeoutMs) ||
        got != turbo::replySize) {
        return reply;
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
    if (reply.status != TURBO_OK) {
        fail(step, describe(reply.status, reply.value));
    }
}

void TurboSession::prepareAndErase(std::uint32_t firstSector, std::uint32_t lastSector) {
    const std::array<std::uint32_t, 2> sectors{firstSector, lastSector};
    require(request(TURBO_CMD_PREPARE, sectors), "prepare");
    require(request(TURBO_CMD_ERASE, sectors, {}, eraseTimeoutMs), "erase");
}

void TurboSession::writeBlock(std::uint32_t flashAddress, std::span<const std::uint8_t> block,
                              std::uint32_t sector) {
    const std::array<std::uint32_t, 1> length{static_cast<std::uint32_t>(block.size())};
    Reply sent;
    for (int attempt = 0; attempt < blockAttempts; ++attempt) {
        sent = request(TURBO_CMD_DATA, length, block);
        if (!sent.complete || sent.status != TURBO_ERR_CRC) {
            break;
        }
    }
    require(sent, "block");
    const std::array<std::uint32_t, 2> sectors{sector, sector};
    require(request(TURBO_CMD_PREPARE, sectors), "prepare");
    const std::array<std::uint32_t, 2> copy{flashAddress, static_cast<std::uint32_t>(block.size())};
    require(request(TURBO_CMD_WRITE, copy), "copy");
}

void TurboSession::verify(std::uint32_t size, std::uint32_t expectedCrc) {
    const std::array<std::uint32_t, 2> range{0, size};
    const Reply reply = request(TURBO_CMD_CRC, range, {}, eraseTimeoutMs);
    require(reply, "verify");
    if (reply.value != expectedCrc) {
        fail("verify", "flash CRC-32 differs from the image's");
    }
}

void TurboSession::go() {
    require(request(TURBO_CMD_GO, {}), "go");
}

} // namespace sparwick
