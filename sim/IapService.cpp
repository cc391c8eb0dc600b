#include "sim/IapService.h"

#include "sim/BootLoaderConstants.h"
#include "sim/BootLoaderPort.h"
#include "sim/FaultInjector.h"
#include "sim/TrafficLog.h"

#include <algorithm>
#include <string>

namespace sparwick::sim {

namespace {

enum IapCommand : std::uint32_t {
    prepareCommand = 50,
    copyCommand = 51,
    eraseCommand = 52,
    blankCheckCommand = 53,
    partIdCommand = 54,
    bootVersionCommand = 55,
    compareCommand = 56,
};

// How far the clock argument may be from the core's clock before the flash's timing is
// wrong.
constexpr std::uint32_t clockTolerancePercent = 5;

std::uint32_t status(IspStatus value) {
    return static_cast<std::uint32_t>(value);
}

} // namespace

IapService::IapService(FlashMemory& flashMemory, std::span<std::uint8_t> userRam,
                       FaultInjector& faultInjector, BootLoaderPort& bootLoaderPort,
                       TrafficLog* trafficLog)
    : flash(flashMemory)
    , ram(userRam)
    , faults(faultInjector)
    , port(bootLoaderPort)
    , log(trafficLog) {}

IapService::Result IapService::call(const std::array<std::uint32_t, 5>& command,
                                    std::uint32_t coreKHz) {
    Result result;
    const auto& p = command;
    const auto clockWrong = [&](std::uint32_t given) {
        const std::uint64_t off = given > coreKHz ? given - coreKHz : coreKHz - given;
        if (off * 100 <= std::uint64_t{coreKHz} * clockTolerancePercent) {
            return false;
        }
        event("IAP " + std::to_string(p[0]) + " given a clock of " + std::to_string(given) +
              " kHz, the core runs at " + std::to_string(coreKHz) + " kHz");
        return true;
    };
    IspStatus outcome = IspStatus::cmdSuccess;
    switch (p[0]) {
    case prepareCommand:
        outcome = prepare(p[1], p[2]);
        break;
    case copyCommand:
        outcome = copy(p[1], p[2], p[3], clockWrong(p[4]), result);
        break;
    case eraseCommand:
        clockWrong(p[3]);
        outcome = erase(p[1], p[2], result);
        break;
    case blankCheckCommand:
        outcome = blankCheck(p[1], p[2], result);
        break;
    case partIdCommand:
        result.words[1] = flash.part().partId();
        break;
    case bootVersionCommand:
        result.words[1] = isp::bootCodeMajor << 8 | isp::bootCodeMinor;
        break;
    case compareCommand:
        outcome = compare(p[1], p[2], p[3], result);
        break;
    default:
        outcome = IspStatus::invalidCommand;
        break;
    }
    result.words[0] = status(outcome);
    event("IAP " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) +
          " " + std::to_string(p[3]) + ": " + std::to_string(result.words[0]));
    return result;
}

bool IapService::sectorsValid(std::uint32_t first, std::uint32_t last) const {
    return first <= last && last < flash.part().sectorCount();
}

bool IapService::isRam(std::uint32_t address, std::uint64_t count) const {
    return address >= isp::ramBase && address - isp::ramBase + count <= ram.size();
}

bool IapService::isFlash(std::uint32_t address, std::uint64_t count) const {
    return std::uint64_t{address} + count <= flash.bytes().size();
}

const std::uint8_t* IapService::at(std::uint32_t address) const {
    return isRam(address, 0) ? ram.data() + (address - isp::ramBase)
                             : flash.bytes().data() + address;
}

IspStatus IapService::prepare(std::uint32_t first, std::uint32_t last) {
    if (!sectorsValid(first, last)) {
        return IspStatus::invalidSector;
    }
    flash.prepare(first, last);
    return IspStatus::cmdSuccess;
}

IspStatus IapService::erase(std::uint32_t first, std::uint32_t last, Result& result) {
    if (!sectorsValid(first, last)) {
        return IspStatus::invalidSector;
    }
    if (!flash.isPrepared(first, last)) {
        return IspStatus::sectorNotPreparedForWriteOperation;
    }
    flash.erase(first, last);
    erased += last - first + 1;
    result.changedOffset = flash.part().sectorStart(first);
    result.changedSize = flash.part().sectorEnd(last) - result.changedOffset;
    port.busy(isp::eraseTime);
    return IspStatus::cmdSuccess;
}

IspStatus IapService::copy(std::uint32_t flashAddress, std::uint32_t ramAddress,
                           std::uint32_t count, bool wrongClock, Result& result) {
    if (ramAddress % isp::wordSize != 0) {
        return IspStatus::srcAddrError;
    }
    if (flashAddress % isp::copyFlashAlignment != 0) {
        return IspStatus::dstAddrError;
    }
    if (std::find(isp::copySizes.begin(), isp::copySizes.end(), count) == isp::copySizes.end()) {
        return IspStatus::countError;
    }
    if (!isRam(ramAddress, count)) {
        return IspStatus::srcAddrNotMapped;
    }
    if (!isFlash(flashAddress, count)) {
        return IspStatus::dstAddrNotMapped;
    }
    const PartDescription& part = flash.part();
    if (!flash.isPrepared(part.sectorOf(flashAddress), part.sectorOf(flashAddress + count - 1))) {
        return IspStatus::sectorNotPreparedForWriteOperation;
    }
    const auto fault = faults.occurrence(FaultStep::copy);
    if (fault && log != nullptr) {
        log->event("fault " + describeFaultRule(*fault) + " on the IAP copy");
    }
    if (fault && fault->action == FaultAction::hangup) {
        port.hangUp();
        return IspStatus::busy;
    }
    if (fault && fault->action == FaultAction::status) {
        return static_cast<IspStatus>(fault->status);
    }
    flash.program(flashAddress, std::span<const std::uint8_t>(at(ramAddress), count));
    ++copies;
    if ((fault && fault->action == FaultAction::corrupt) || wrongClock) {
        // A cell that did not take what was written: nothing in the status says so.
        const std::uint32_t offset = flashAddress + count / 2;
        flash.flipBits(offset, isp::corruptedBit);
        event("flash byte " + std::to_string(offset) + " corrupted");
    }
    result.changedOffset = flashAddress;
    result.changedSize = count;
    port.busy(isp::programTimePerRow * (count / isp::programRowSize));
    return IspStatus::cmdSuccess;
}

IspStatus IapService::blankCheck(std::uint32_t first, std::uint32_t last, Result& result) const {
    if (!sectorsValid(first, last)) {
        return IspStatus::invalidSector;
    }
    const auto offset = flash.firstNonBlankWord(first, last);
    if (!offset) {
        return IspStatus::cmdSuccess;
    }
    result.words[1] = *offset;
    result.words[2] = flash.word(*offset);
    return IspStatus::sectorNotBlank;
}

IspStatus IapService::compare(std::uint32_t first, std::uint32_t second, std::uint32_t count,
                              Result& result) const {
    if (first % isp::wordSize != 0 || second % isp::wordSize != 0) {
        return IspStatus::addrError;
    }
    if (count % isp::wordSize != 0) {
        return IspStatus::countError;
    }
    const auto mapped = [&](std::uint32_t address) {
        return isRam(address, count) || isFlash(address, count);
    };
    if (!mapped(first) || !mapped(second)) {
        return IspStatus::addrNotMapped;
    }
    const std::uint8_t* a = at(first);
    const std::uint8_t* b = at(second);
    const auto mismatch = std::mismatch(a, a + count, b);
    if (mismatch.first == a + count) {
        return IspStatus::cmdSuccess;
    }
    result.words[1] = static_cast<std::uint32_t>(mismatch.first - a);
    return IspStatus::compareError;
}

void IapService::event(const std::string& text) {
    if (log != nullptr) {
        log->event(text);
    }
}

} // namespace sparwick::sim
