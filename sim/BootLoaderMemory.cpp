// The boot loader's memory commands: writing to and reading from RAM, preparing, copying,
// erasing and blank-checking flash sectors, comparing memory and starting code.
#include "sim/BootLoader.h"
#include "sim/BootLoaderConstants.h"
#include "sim/IspLines.h"
#include "sim/IspStatus.h"
#include "sim/TrafficLog.h"

#include <algorithm>

namespace sparwick::sim {

std::optional<IspStatus> BootLoader::transferRangeError(std::uint32_t address, std::uint32_t count,
                                                        bool ramOnly) const {
    if (address % isp::wordSize != 0) {
        return IspStatus::addrError;
    }
    if (count % isp::wordSize != 0) {
        return IspStatus::countError;
    }
    if (ramOnly ? !memory.isRam(address, count) : !memory.isMapped(address, count)) {
        return IspStatus::addrNotMapped;
    }
    return std::nullopt;
}

std::string BootLoader::writeToRam(const Arguments& args) {
    const std::uint32_t address = args.numbers[0];
    const std::uint32_t count = args.numbers[1];
    if (const auto refused = transferRangeError(address, count, true)) {
        return statusLine(*refused);
    }
    if (count > 0) {
        writeTransfer = WriteTransfer(address, count);
        mode = Mode::receivingData;
    }
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::readMemory(const Arguments& args) {
    const std::uint32_t address = args.numbers[0];
    const std::uint32_t count = args.numbers[1];
    if (const auto refused = transferRangeError(address, count, false)) {
        return statusLine(*refused);
    }
    std::string reply = statusLine(IspStatus::cmdSuccess);
    if (count > 0) {
        readTransfer = ReadTransfer(address, count);
        mode = Mode::awaitingReadAck;
        reply += readGroup();
    }
    return reply;
}

std::optional<IspStatus> BootLoader::sectorRangeError(std::uint32_t first,
                                                      std::uint32_t last) const {
    // The boot block lies past the last user sector and is never a valid sector here.
    if (first > last || last >= part.sectorCount()) {
        return IspStatus::invalidSector;
    }
    return std::nullopt;
}

std::string BootLoader::prepare(const Arguments& args) {
    const std::uint32_t first = args.numbers[0];
    const std::uint32_t last = args.numbers[1];
    if (const auto refused = sectorRangeError(first, last)) {
        return statusLine(*refused);
    }
    flashMemory.prepare(first, last);
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::copyToFlash(const Arguments& args) {
    const std::uint32_t flashAddress = args.numbers[0];
    const std::uint32_t ramAddress = args.numbers[1];
    const std::uint32_t count = args.numbers[2];
    if (ramAddress % isp::wordSize != 0) {
        return statusLine(IspStatus::srcAddrError);
    }
    if (flashAddress % isp::copyFlashAlignment != 0) {
        return statusLine(IspStatus::dstAddrError);
    }
    if (!contains(isp::copySizes, count)) {
        return statusLine(IspStatus::countError);
    }
    if (!memory.isRam(ramAddress, count)) {
        return statusLine(IspStatus::srcAddrNotMapped);
    }
    if (!memory.isFlash(flashAddress, count)) {
        return statusLine(IspStatus::dstAddrNotMapped);
    }
    const std::uint32_t first = part.sectorOf(flashAddress);
    const std::uint32_t last = part.sectorOf(flashAddress + count - 1);
    if (!flashMemory.isPrepared(first, last)) {
        return statusLine(IspStatus::sectorNotPreparedForWriteOperation);
    }
    memory.runBootLoader(true);
    flashMemory.program(flashAddress, memory.read(ramAddress, count));
    if (corruptCopy) {
        // A cell that did not take what was written: nothing in the reply says so.
        const std::uint32_t offset = flashAddress + count / 2;
        flashMemory.flipBits(offset, isp::corruptedBit);
        if (log != nullptr) {
            log->event("flash byte " + std::to_string(offset) + " corrupted");
        }
    }
    port.busy(isp::programTimePerRow * (count / isp::programRowSize));
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::go(const Arguments& args) {
    const std::uint32_t address = args.numbers[0];
    if (address % isp::wordSize != 0) {
        return statusLine(IspStatus::addrError);
    }
    if (!memory.isMapped(address, isp::wordSize)) {
        return statusLine(IspStatus::addrNotMapped);
    }
    goReport = GoReport{address, args.mode == isp::thumbMode, flashMemory.holdsValidUserCode()};
    mode = Mode::userCode;
    if (log != nullptr) {
        log->event(std::string("go to ") + std::to_string(address) +
                   (goReport->thumbMode ? " in Thumb mode" : " in ARM mode") + ": " +
                   (goReport->validUserCode ? "valid user code"
                                            : "no valid user code (vectors do not sum to 0)"));
    }
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::erase(const Arguments& args) {
    const std::uint32_t first = args.numbers[0];
    const std::uint32_t last = args.numbers[1];
    if (const auto refused = sectorRangeError(first, last)) {
        return statusLine(*refused);
    }
    if (!flashMemory.isPrepared(first, last)) {
        return statusLine(IspStatus::sectorNotPreparedForWriteOperation);
    }
    memory.runBootLoader(true);
    flashMemory.erase(first, last);
    port.busy(isp::eraseTime);
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::blankCheck(const Arguments& args) {
    const std::uint32_t first = args.numbers[0];
    const std::uint32_t last = args.numbers[1];
    if (const auto refused = sectorRangeError(first, last)) {
        return statusLine(*refused);
    }
    const auto offset = flashMemory.firstNonBlankWord(first, last);
    if (!offset) {
        return statusLine(IspStatus::cmdSuccess);
    }
    return statusLine(IspStatus::sectorNotBlank) + numberLine(*offset) +
           numberLine(flashMemory.word(*offset));
}

std::string BootLoader::partId(const Arguments&) {
    return statusLine(IspStatus::cmdSuccess) + numberLine(part.partId());
}

std::string BootLoader::bootVersion(const Arguments&) {
    return statusLine(IspStatus::cmdSuccess) + numberLine(isp::bootCodeMinor) +
           numberLine(isp::bootCodeMajor);
}

std::string BootLoader::compare(const Arguments& args) {
    const std::uint32_t first = args.numbers[0];
    const std::uint32_t second = args.numbers[1];
    const std::uint32_t count = args.numbers[2];
    if (first % isp::wordSize != 0 || second % isp::wordSize != 0) {
        return statusLine(IspStatus::addrError);
    }
    if (count % isp::wordSize != 0) {
        return statusLine(IspStatus::countError);
    }
    if (!memory.isMapped(first, count) || !memory.isMapped(second, count)) {
        return statusLine(IspStatus::addrNotMapped);
    }
    const std::vector<std::uint8_t> a = memory.read(first, count);
    const std::vector<std::uint8_t> b = memory.read(second, count);
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin());
    if (mismatch.first == a.end()) {
        return statusLine(IspStatus::cmdSuccess);
    }
    return statusLine(IspStatus::compareError) +
           numberLine(static_cast<std::uint64_t>(mismatch.first - a.begin()));
}

} // namespace sparwick::sim
