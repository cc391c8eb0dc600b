#include "TurboTestClient.h"

#include "../sim/IspTransfers.h"
#include "stub/EmbeddedFlasher.h"

#include <string>
#include <vector>

namespace sparwick::sim::test {

namespace {

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

} // namespace

bool TurboTestClient::load(std::uint32_t divisor) {
    line.unlock();
    const auto image = turbo::embeddedFlasher();
    std::vector<std::uint8_t> bytes(image.begin(), image.end());
    for (std::uint32_t i = 0; i < 4; ++i) {
        bytes[turbo::divisorOffset + i] = static_cast<std::uint8_t>(divisor >> (8 * i));
    }
    if (!writeToRam(line, turbo::loadAddress, bytes)) {
        return false;
    }
    const std::string go = "G " + std::to_string(turbo::loadAddress) + " A\r\n";
    return line.exchange(go, "0\r\n") == "0\r\n";
}

TurboTestClient::Reply TurboTestClient::request(turbo::Command command,
                                                std::initializer_list<std::uint32_t> args,
                                                std::chrono::milliseconds timeout) {
    std::string out(1, static_cast<char>(command));
    for (const std::uint32_t arg : args) {
        put32(out, arg);
    }
    line.send(out);
    return readReply(timeout);
}

void TurboTestClient::raw(const std::string& bytes) {
    line.send(bytes);
}

std::vector<TurboTestClient::Reply>
TurboTestClient::sums(std::uint32_t address, std::uint32_t length, std::uint32_t count) {
    std::string out(1, static_cast<char>(turbo::Command::sums));
    put32(out, address);
    put32(out, length);
    put32(out, count);
    line.send(out);
    std::vector<Reply> replies;
    for (std::uint32_t i = 0; i < count; ++i) {
        replies.push_back(readReply(std::chrono::milliseconds{2000}));
        if (!replies.back().complete || replies.back().status != turbo::Status::ok) {
            break;
        }
    }
    return replies;
}

TurboTestClient::Reply TurboTestClient::data(std::span<const std::uint8_t> block,
                                             std::optional<std::uint32_t> crc) {
    std::string out(1, static_cast<char>(turbo::Command::data));
    put32(out, static_cast<std::uint32_t>(block.size()));
    out.append(block.begin(), block.end());
    put32(out, crc.value_or(crc32(block)));
    line.send(out);
    return readReply(std::chrono::milliseconds{2000});
}

TurboTestClient::Reply TurboTestClient::compressed(std::span<const std::uint8_t> stream,
                                                   std::uint32_t blockCrc) {
    std::string out(1, static_cast<char>(turbo::Command::compressedData));
    const std::size_t padded = (stream.size() + 3) / 4 * 4;
    put32(out, static_cast<std::uint32_t>(padded));
    out.append(stream.begin(), stream.end());
    out.append(padded - stream.size(), '\0');
    put32(out, blockCrc);
    line.send(out);
    return readReply(std::chrono::milliseconds{2000});
}

TurboTestClient::Reply TurboTestClient::readReply(std::chrono::milliseconds timeout) {
    const std::string bytes = line.read(turbo::replySize, timeout);
    Reply reply;
    if (bytes.size() != turbo::replySize) {
        return reply;
    }
    reply.complete = true;
    reply.status = static_cast<turbo::Status>(bytes[0]);
    for (int i = 0; i < 4; ++i) {
        reply.value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[1 + i]))
                       << (8 * i);
    }
    return reply;
}

std::uint32_t TurboTestClient::crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) != 0 ? 0xEDB88320u : 0u);
        }
    }
    return ~crc;
}

} // namespace sparwick::sim::test
