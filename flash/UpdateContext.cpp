#include "flash/UpdateContext.h"

#include "flash/BoardReset.h"
#include "flash/FlashLayout.h"
#include "flash/IspLineBuffer.h"
#include "flash/IspProtocol.h"
#include "flash/UpdateMessages.h"
#include "flash/Uuencode.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"
#include "serial/OsalSerialPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sparwick {
namespace {

using Line = IspLineBuffer<isp::commandBufferSize>;

std::string_view received(const char* buffer, std::uint32_t bytesRead) {
    return {buffer, bytesRead};
}

// The W and C lines write their numbers as signed decimals. Every address and count an
// update passes is below 2^31, where the signed and the unsigned digits are the same.
std::int32_t asSigned(std::uint32_t value) {
    return static_cast<std::int32_t>(value);
}

} // namespace

UpdateContext::UpdateContext(const UpdateOptions& choices)
    : options(choices) {}

void UpdateContext::sendLine(const char* text) {
    // A failed write is not examined: it shows up as a missing reply.
    OsalSerialPort::instance().write(text, static_cast<std::int32_t>(std::strlen(text)));
}

bool UpdateContext::readReply(char* buffer, std::uint32_t& bytesRead, std::int32_t bytesWanted) {
    if (!OsalSerialPort::instance().read(buffer, bytesRead, bytesWanted, isp::replyTimeoutMs)) {
        abortWithMessage(msg::couldNotCommunicate);
    }
    buffer[bytesRead] = '\0';
    return true;
}

void UpdateContext::expectReply(std::string_view expected, std::string_view failure) {
    // Exactly the expected bytes: a reply cut short by the time-out fails like a wrong one,
    // and whatever the device sent beyond them stays unread for the next exchange.
    char reply[isp::replyBufferSize];
    std::uint32_t bytesRead = 0;
    readReply(reply, bytesRead, static_cast<std::int32_t>(expected.size()));
    if (received(reply, bytesRead) != expected) {
        if (refusedByProtection(received(reply, bytesRead))) {
            if (options.reset) {
                throw CodeReadProtected();
            }
            abortWithMessage(std::string(failure) + std::string(msg::protectionNamed));
        }
        abortWithMessage(failure);
    }
}

bool UpdateContext::refusedByProtection(std::string_view reply) {
    // Only the choices beyond the specified update look: its messages stay as they are.
    if (!options.reset && !options.turbo && !options.verify) {
        return false;
    }
    // A reply read to the expected one's length holds the refusal's start, its line end
    // still on the way.
    const std::string_view refusal = isp::protectionRefusal;
    if (reply.size() > refusal.size() || reply.size() + 1 < refusal.size() ||
        !refusal.starts_with(reply)) {
        return false;
    }
    if (reply.size() < refusal.size()) {
        char rest[isp::replyBufferSize];
        std::uint32_t bytesRead = 0;
        readReply(rest, bytesRead, static_cast<std::int32_t>(refusal.size() - reply.size()));
        return received(rest, bytesRead) == refusal.substr(reply.size());
    }
    return true;
}

void UpdateContext::exchange(const char* line, std::string_view expected,
                             std::string_view failure) {
    sendLine(line);
    expectReply(expected, failure);
}

bool UpdateContext::synchronize() {
    if (options.reset) {
        resetIntoIsp();
    } else if (!options.awaitBoard) {
        OsalSerialPort& port = OsalSerialPort::instance();
        port.purge(isp::purgeDelayMs);
        sendLine(isp::syncRequest.data());
        // The first reply is the device's sign of life at all: a port that did not open, or
        // a device that is absent or not in upgrade mode, ends here with the long message.
        char reply[isp::replyBufferSize];
        std::uint32_t bytesRead = 0;
        if (!port.read(reply, bytesRead, static_cast<std::int32_t>(isp::syncReply.size()),
                       isp::replyTimeoutMs) ||
            received(reply, bytesRead) != isp::syncReply) {
            abortWithMessage(msg::noDevice);
        }
    }
    exchange(isp::syncWord.data(), isp::syncWordReply, msg::syncFailure);
    exchange(isp::crystal.data(), isp::crystalReply, msg::clockFailure);
    return true;
}

bool UpdateContext::askForSync(std::int32_t timeoutMs, std::string_view readFailure) {
    OsalSerialPort& port = OsalSerialPort::instance();
    port.purge(isp::purgeDelayMs);
    sendLine(isp::syncRequest.data());
    char reply[isp::replyBufferSize];
    std::uint32_t bytesRead = 0;
    if (!port.read(reply, bytesRead, static_cast<std::int32_t>(isp::syncReply.size()), timeoutMs)) {
        abortWithMessage(readFailure);
    }
    return received(reply, bytesRead) == isp::syncReply;
}

void UpdateContext::resetIntoIsp() {
    // A board that misses one reset (a supervisor chip slower than the wait, a reply lost)
    // is reset again; the last attempt's silence is the usual message.
    BoardReset board(*options.reset, options.resetTimings);
    for (std::uint32_t attempt = 1;; ++attempt) {
        board.holdIntoIsp();
        if (askForSync(isp::replyTimeoutMs, msg::noDevice)) {
            // The part sampled P0.14 when it left reset; its firmware may use the pin.
            board.releaseIsp();
            return;
        }
        if (attempt == isp::resetAttempts) {
            abortWithMessage(msg::noDevice);
        }
    }
}

void UpdateContext::awaitBoard() {
    // Only a boot loader fresh from reset answers "?" with "Synchronized": one that has
    // started its firmware does not, nor one that failed and is still synchronised (to it
    // "?" is the start of a command line). Nothing else is sent until a board answers.
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        // A read that fails means the port is not open, or gone.
        if (askForSync(isp::probeIntervalMs, msg::couldNotCommunicate)) {
            return;
        }
        // A board that echoes or chatters ends the read early; the interval stays the same.
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        if (spent.count() < isp::probeIntervalMs) {
            sleepMilliseconds(isp::probeIntervalMs - static_cast<std::uint32_t>(spent.count()));
        }
    }
}

bool UpdateContext::setEchoOff() {
    exchange(isp::echoOff.data(), isp::echoOffReply, msg::echoFailure);
    return true;
}

bool UpdateContext::unlock() {
    exchange(isp::unlock.data(), isp::success, msg::unlockFailure);
    return true;
}

std::int32_t UpdateContext::identifyPart() {
    sendLine(isp::readPartId.data());
    char reply[isp::replyBufferSize];
    std::uint32_t bytesRead = 0;
    readReply(reply, bytesRead,
              static_cast<std::int32_t>(layout::supportedParts[0].idReply.size()));
    for (const auto& part : layout::supportedParts) {
        if (received(reply, bytesRead) == part.idReply) {
            identifiedPart = part.partId;
            return part.sectorCount;
        }
    }
    abortWithMessage(msg::partIdInvalid);
}

bool UpdateContext::checkPartId() {
    identifyPart();
    return true;
}

std::int32_t UpdateContext::readSectorCount() {
    N = identifyPart();
    return N;
}

std::optional<std::string> UpdateContext::readBootCode() {
    sendLine(isp::readBootCode.data());
    // The numbers' lengths are not known beforehand: the read ends once the device has
    // been quiet for the channel's interval.
    char reply[isp::replyBufferSize];
    std::uint32_t bytesRead = 0;
    readReply(reply, bytesRead, isp::bootCodeReplyMaxLength);
    std::string_view rest = received(reply, bytesRead);
    const auto takeNumberLine = [&rest]() -> std::optional<std::string_view> {
        const std::size_t end = rest.find(isp::lineEnd);
        const std::string_view digits = rest.substr(0, end);
        if (end == std::string_view::npos || digits.empty() ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        rest.remove_prefix(end + isp::lineEnd.size());
        return digits;
    };
    if (!rest.starts_with(isp::success)) {
        return std::nullopt;
    }
    rest.remove_prefix(isp::success.size());
    const auto minor = takeNumberLine();
    const auto major = takeNumberLine();
    if (!minor || !major || !rest.empty()) {
        return std::nullopt;
    }
    return std::string(*major) + "." + std::string(*minor);
}

bool UpdateContext::prepareSectors(std::int32_t start, std::int32_t end) {
    return sectorCommand(isp::prepareLetter, start, end);
}

bool UpdateContext::eraseSectors(std::int32_t start, std::int32_t end) {
    return sectorCommand(isp::eraseLetter, start, end);
}

bool UpdateContext::blankCheckSectors(std::int32_t start, std::int32_t end) {
    return sectorCommand(isp::blankCheckLetter, start, end);
}

bool UpdateContext::sectorCommand(char letter, std::int32_t start, std::int32_t end) {
    if (!(start >= 0 && start < N && end >= 0 && end < N && start <= end)) {
        abortWithMessage(msg::invalidPrepareSector);
    }
    Line line;
    line.character(letter).text(" ").number(start).text(" ").number(end).text(isp::lineEnd);
    exchange(line.c_str(), isp::success, msg::sectorCommandFailed);
    return true;
}

bool UpdateContext::writeToRam(std::uint32_t address, std::uint32_t count,
                               const std::uint8_t* data) {
    Line command;
    command.text(isp::writeToRamCommand)
        .number(asSigned(address))
        .text(" ")
        .number(asSigned(count))
        .text(isp::lineEnd);
    exchange(command.c_str(), isp::success, msg::writeToRamFailed);

    const std::uint32_t pauseMs = OsalSerialPort::instance().isHighSpeed()
                                      ? isp::linePauseHighSpeedMs
                                      : isp::linePauseLowSpeedMs;
    constexpr std::uint32_t groupBytes = isp::linesPerChecksum * isp::bytesPerLine;
    for (std::uint32_t offset = 0; offset < count; offset += groupBytes) {
        const std::uint32_t length = std::min(groupBytes, count - offset);
        if (options.fast) {
            sendGroupPacedByDevice(data + offset, length, pauseMs);
        } else {
            sendChecksum(sendDataLines(data + offset, length, pauseMs));
        }
    }
    return true;
}

std::uint32_t UpdateContext::sendDataLines(const std::uint8_t* data, std::uint32_t count,
                                           std::uint32_t pauseMs) {
    std::uint32_t sum = 0;
    for (std::uint32_t offset = 0; offset < count; offset += isp::bytesPerLine) {
        // Whole lines of 45 bytes; a count that is not a multiple of 45 ends with a shorter
        // line, so that nothing beyond count bytes is read.
        const std::size_t length = std::min(isp::bytesPerLine, count - offset);
        char dataLine[isp::dataLineBufferSize];
        std::size_t size = uuencodeLine(data + offset, length, dataLine, sum);
        dataLine[size++] = '\r';
        dataLine[size++] = '\n';
        dataLine[size] = '\0';
        sendLine(dataLine);
        if (pauseMs != 0) {
            sleepMilliseconds(pauseMs);
        }
    }
    return sum;
}

void UpdateContext::sendGroupPacedByDevice(const std::uint8_t* data, std::uint32_t count,
                                           std::uint32_t pauseMs) {
    // The lines go out as fast as the line and the device's XOFF let them. Lines the device
    // refused are encoded again from the image, this time with the pause after each line,
    // for a device or an adapter that lost bytes of the fast ones.
    const std::uint32_t sum = sendDataLines(data, count, 0);
    for (std::int32_t refusals = 1; !checksumAccepted(sum); ++refusals) {
        if (refusals == isp::maxChecksumRefusals) {
            abortWithMessage(msg::checksumFailed);
        }
        sendDataLines(data, count, pauseMs);
    }
}

bool UpdateContext::checksumAccepted(std::uint32_t sum) {
    Line line;
    line.number(sum).text(isp::lineEnd);
    sendLine(line.c_str());
    char reply[isp::replyBufferSize];
    std::uint32_t bytesRead = 0;
    readReply(reply, bytesRead, static_cast<std::int32_t>(isp::checksumAccepted.size()));
    if (received(reply, bytesRead) == isp::checksumAccepted) {
        return true;
    }
    // RESEND is read to its end, so that the next exchange starts on an empty input.
    const std::string_view refusedStart = isp::checksumRefused.substr(0, bytesRead);
    if (bytesRead == isp::checksumAccepted.size() && received(reply, bytesRead) == refusedStart) {
        const std::string_view refusedEnd = isp::checksumRefused.substr(bytesRead);
        char rest[isp::replyBufferSize];
        std::uint32_t restRead = 0;
        readReply(rest, restRead, static_cast<std::int32_t>(refusedEnd.size()));
        if (received(rest, restRead) == refusedEnd) {
            return false;
        }
    }
    abortWithMessage(msg::checksumFailed);
}

bool UpdateContext::sendChecksum(std::uint32_t sum) {
    Line line;
    line.number(sum).text(isp::lineEnd);
    exchange(line.c_str(), isp::checksumAccepted, msg::checksumFailed);
    return true;
}

bool UpdateContext::copyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress,
                                   std::uint32_t count) {
    Line line;
    line.text(isp::copyCommand)
        .number(asSigned(flashAddress))
        .text(" ")
        .number(asSigned(ramAddress))
        .text(" ")
        .number(asSigned(count))
        .text(isp::lineEnd);
    exchange(line.c_str(), isp::success, msg::copyFailed);
    return true;
}

bool UpdateContext::goToAddress(std::uint32_t address) {
    Line line;
    line.text(isp::goCommand).number(address).text(isp::armModeSuffix);
    exchange(line.c_str(), isp::success, msg::goFailed);
    return true;
}

} // namespace sparwick
