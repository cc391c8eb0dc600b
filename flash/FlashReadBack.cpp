#include "flash/FlashReadBack.h"

#include "flash/FlashImage.h"
#include "flash/FlashLayout.h"
#include "flash/IspLineBuffer.h"
#include "flash/IspProtocol.h"
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "flash/Uudecode.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace sparwick {
namespace {

constexpr std::uint32_t groupBytes = isp::bytesPerLine * isp::linesPerChecksum;

// Characters of a line that carries length bytes, without its line end.
std::uint32_t encodedLength(std::uint32_t length) {
    return 1 + 4 * ((length + 2) / 3);
}

int percentOf(std::uint64_t done, std::uint64_t total) {
    return static_cast<int>(done * 100 / total);
}

// The first offset from offset on where read differs from what was sent there.
std::optional<std::uint32_t> firstDifference(FlashImage& image, std::uint32_t offset,
                                             const std::uint8_t* read, std::uint32_t count) {
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t at = offset + done;
        const std::uint32_t blockStart = at - at % layout::blockSize;
        const std::uint8_t* sent = image.block(blockStart) + (at - blockStart);
        const std::uint32_t length = std::min(count - done, blockStart + layout::blockSize - at);
        const auto [mine, theirs] = std::mismatch(read + done, read + done + length, sent);
        if (mine != read + done + length) {
            return offset + static_cast<std::uint32_t>(mine - read);
        }
        done += length;
    }
    return std::nullopt;
}

std::string differenceMessage(std::uint32_t offset, std::uint8_t found, std::uint8_t expected) {
    char where[96];
    std::snprintf(where, sizeof where,
                  "First difference at offset %u (0x%05X): found 0x%02X, expected 0x%02X.",
                  static_cast<unsigned>(offset), static_cast<unsigned>(offset),
                  static_cast<unsigned>(found), static_cast<unsigned>(expected));
    return std::string(msg::verifyFailed) + "\n" + where;
}

} // namespace

FlashReadBack::FlashReadBack(UpdateContext& updateContext)
    : context(updateContext) {}

bool FlashReadBack::readFromFlash(std::uint32_t address, std::uint32_t count, std::uint8_t* data) {
    IspLineBuffer<isp::commandBufferSize> command;
    command.text(isp::readCommand).number(address).text(" ").number(count).text(isp::lineEnd);
    context.exchange(command.c_str(), isp::success, msg::readFailed);
    for (std::uint32_t offset = 0; offset < count; offset += groupBytes) {
        int resends = 0;
        while (!readGroup(data + offset, std::min(groupBytes, count - offset))) {
            if (resends++ == isp::maxReadResends) {
                abortWithMessage(msg::readChecksumFailed);
            }
            context.sendLine(isp::checksumRefused.data());
        }
        context.sendLine(isp::checksumAccepted.data());
    }
    return true;
}

bool FlashReadBack::readGroup(std::uint8_t* data, std::uint32_t count) {
    std::uint32_t sum = 0;
    bool whole = true;
    for (std::uint32_t offset = 0; offset < count; offset += isp::bytesPerLine) {
        const std::uint32_t length = std::min(isp::bytesPerLine, count - offset);
        // A line of the length the count gives, ended where it must end: anything else
        // leaves the host unsure where the next line begins, and ends the read.
        const std::uint32_t wanted = encodedLength(length) + isp::lineEnd.size();
        char line[isp::dataLineBufferSize];
        const std::uint32_t bytesRead = receive(line, wanted, false);
        if (bytesRead != wanted || !std::string_view(line, bytesRead).ends_with(isp::lineEnd)) {
            abortWithMessage(msg::readFailed);
        }
        // A whole line that does not decode to its bytes is damaged on the way, as a wrong
        // byte is: the sum after it asks for the lines again.
        std::array<std::uint8_t, isp::bytesPerLine> bytes;
        const auto decoded = uudecodeLine(line, wanted - isp::lineEnd.size(), bytes.data(), sum);
        if (decoded == static_cast<std::size_t>(length)) {
            std::copy_n(bytes.begin(), length, data + offset);
        } else {
            whole = false;
        }
    }
    const auto deviceSum = readSum();
    return whole && deviceSum == sum;
}

std::optional<std::uint32_t> FlashReadBack::readSum() {
    // Up to its line feed: the sum's digits are the device's, not known here.
    char text[isp::sumLineMaxLength + 1];
    const std::uint32_t length = receive(text, isp::sumLineMaxLength, true);
    if (length == 0 || text[length - 1] != '\n') {
        abortWithMessage(msg::readFailed);
    }
    const std::string_view line(text, length);
    if (!line.ends_with(isp::lineEnd)) {
        return std::nullopt;
    }
    const std::string_view digits = line.substr(0, length - isp::lineEnd.size());
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::uint32_t FlashReadBack::receive(char* buffer, std::uint32_t wanted, bool untilLineFeed) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(isp::replyTimeoutMs);
    std::uint32_t received = 0;
    while (received < wanted) {
        std::uint32_t bytesRead = 0;
        context.readReply(buffer + received, bytesRead,
                          static_cast<std::int32_t>(untilLineFeed ? 1 : wanted - received));
        received += bytesRead;
        if (bytesRead == 0 || Clock::now() >= deadline ||
            (untilLineFeed && buffer[received - 1] == '\n')) {
            break;
        }
    }
    return received;
}

ReadBackRange FlashReadBack::verifyFlash(FlashImage& image, ProgressSink& progressSink) {
    const ReadBackRange range(image.size());
    if (range.empty()) {
        return range;
    }
    progressSink.setVerifyProgress(0);
    std::array<std::uint8_t, ReadBackRange::chunkBytes> read;
    for (std::uint32_t i = 0; i < range.chunkCount(); ++i) {
        const ReadBackRange::Chunk chunk = range.chunk(i);
        readFromFlash(chunk.offset, chunk.count, read.data());
        // Of a chunk rounded up to a whole word, only the image's own bytes count.
        const std::uint32_t compared = std::min(chunk.count, range.end() - chunk.offset);
        if (const auto at = firstDifference(image, chunk.offset, read.data(), compared)) {
            const std::uint32_t blockStart = *at - *at % layout::blockSize;
            abortWithMessage(differenceMessage(*at, read[*at - chunk.offset],
                                               image.block(blockStart)[*at - blockStart]));
        }
        progressSink.setVerifyProgress(
            percentOf(chunk.offset + compared - range.begin(), range.size()));
    }
    return range;
}

} // namespace sparwick
