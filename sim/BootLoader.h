#pragma once

#include "sim/BootLoaderConstants.h"
#include "sim/BootLoaderPort.h"
#include "sim/FaultInjector.h"
#include "sim/FlashMemory.h"
#include "sim/IspStatus.h"
#include "sim/LineAssembler.h"
#include "sim/ReadTransfer.h"
#include "sim/TargetMemory.h"
#include "sim/WriteTransfer.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::sim {

class TrafficLog;

// The LPC2000 ISP boot loader, from the device's side: autobaud handshake, echo, the
// unlock code, the command set with its argument checks and status codes, uuencoded
// transfers with checksums, ESC, and the jump to user code. It is fed one received byte
// at a time, in whatever chunks the line delivers them, and answers through its port.
class BootLoader : private LineAssembler::Listener {
public:
    using Clock = std::chrono::steady_clock;

    struct GoReport {
        std::uint32_t address = 0;
        bool thumbMode = false;
        bool validUserCode = false;
    };

    // A command's arguments once their form has been checked: the decimal numbers in
    // order, and G's mode letter.
    struct Arguments {
        static constexpr std::size_t maxNumbers = 3;
        std::array<std::uint32_t, maxNumbers> numbers{};
        char mode = '\0';
    };

    // One command of the set, with all that goes by its letter.
    struct Command {
        char letter;
        // The exchange that a fault rule names for it, if any.
        std::optional<FaultStep> faultStep;
        // Its arguments: this many decimal numbers, then, for G, the mode letter A or T.
        // Any other form is answered PARAM_ERROR.
        std::size_t numbers;
        bool modeLetter;
        // Refused with CMD_LOCKED, once its arguments are well formed, until U unlocks.
        bool needsUnlock;
        std::string (BootLoader::*handler)(const Arguments&);
    };

    // The command set, one entry a letter.
    static std::span<const Command> commandTable();

    BootLoader(const PartDescription& part, std::span<const std::uint8_t> flashContents,
               FaultInjector& faults, BootLoaderPort& port, TrafficLog* log);
    BootLoader(const BootLoader&) = delete;
    BootLoader& operator=(const BootLoader&) = delete;

    // Reset: waiting for "?", echo on, locked, RAM lost, every sector protected; the
    // flash keeps its contents.
    void powerOn();
    void receive(char byte, Clock::time_point now);
    // Lets time-outs run out; deadline() says when the next one does.
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const { return lines.deadline(); }
    // The time one byte takes on the line, which a CR-only line end waits a little for.
    void setByteTime(std::chrono::nanoseconds time) { lines.setByteTime(time); }
    // The rate the host sends at, as the autobaud measures it from "?"; 0 when it is not
    // a rate at all. The autobaud locks only to the rates the crystal allows.
    void setLineRate(std::uint32_t baud) { lineRate = baud; }

    const FlashMemory& flash() const { return flashMemory; }
    // For code that G starts in RAM: the RAM as the boot loader leaves it, and the flash
    // that its IAP calls program.
    std::vector<std::uint8_t> ramContents() const {
        return memory.read(isp::ramBase, isp::ramSize);
    }
    FlashMemory& userFlash() { return flashMemory; }
    // Set once G has been answered; the boot loader then no longer listens.
    const std::optional<GoReport>& userCode() const { return goReport; }
    // The code read protection level (0 to 3) read from the flash at the last reset.
    std::uint32_t codeReadProtection() const { return crpLevel; }
    bool echoOn() const { return echoEnabled; }
    bool unlocked() const { return isUnlocked; }
    bool synchronized() const { return mode != Mode::awaitingSync; }
    // The rate and stop bits set by B since power-on, if any.
    std::optional<std::uint32_t> requestedBaud() const { return baudSetting; }
    std::uint32_t requestedStopBits() const { return stopBitSetting; }
    // Command lines by letter, A to Z, over the boot loader's life.
    const std::array<std::uint32_t, isp::commandLetters>& commandCounts() const { return commands; }
    std::uint32_t resendsSent() const { return resends; }

private:
    enum class Mode {
        awaitingSync,
        awaitingSyncWord,
        awaitingCrystal,
        commands,
        receivingData,
        awaitingReadAck,
        userCode,
    };

    // LineAssembler::Listener
    LineAssembler::LineStart lineStarts(bool lineEnd) override;
    void echo(std::string_view bytes) override;
    void lineComplete(const std::string& text, bool overflow) override;
    void escape() override;
    bool listening() const override { return !hungUp && mode != Mode::userCode; }

    bool faultMayApply() const;
    void logFault(const FaultRule& fault);
    // A data line's first byte has come: a fault may lose some of the bytes that follow.
    std::uint32_t dataLineLoss();
    void dispatchCommand(std::string_view line);

    // One exchange: the fault picked for it, if any, decides what leaves the device.
    // execute carries the command out and returns its reply; it is not called when the
    // fault answers another status or hangs up. Returns the fault used.
    template <typename Execute>
    std::optional<FaultRule> exchange(std::optional<FaultStep> step, Execute&& execute);
    void send(std::string bytes, std::size_t echoLength);

    std::string runCommand(const Command& command, const std::vector<std::string_view>& tokens);
    std::string unlock(const Arguments& args);
    std::string setBaudRate(const Arguments& args);
    std::string setEcho(const Arguments& args);
    std::string writeToRam(const Arguments& args);
    std::string readMemory(const Arguments& args);
    std::string prepare(const Arguments& args);
    std::string copyToFlash(const Arguments& args);
    std::string go(const Arguments& args);
    std::string erase(const Arguments& args);
    std::string blankCheck(const Arguments& args);
    std::string partId(const Arguments& args);
    std::string bootVersion(const Arguments& args);
    std::string compare(const Arguments& args);

    // CODE_READ_PROTECTION_ENABLED for a command the protection level forbids with these
    // arguments, as the manuals' tables of commands by level give them.
    bool refusedByProtection(char letter, const Arguments& args) const;
    // The status that refuses a sector command's range, if any.
    std::optional<IspStatus> sectorRangeError(std::uint32_t first, std::uint32_t last) const;
    // The status that refuses W's (RAM only) or R's address and count, if any.
    std::optional<IspStatus> transferRangeError(std::uint32_t address, std::uint32_t count,
                                                bool ramOnly) const;

    void dataLine(std::string_view line);
    void checksumLine(std::string_view line);
    void readAcknowledgement(std::string_view line);
    std::string readGroup();
    // A group's sum line as it leaves, changed by a read-checksum fault if one applies.
    std::string sumLine(std::uint64_t sum);

    PartDescription part;
    FlashMemory flashMemory;
    TargetMemory memory;
    FaultInjector& faults;
    BootLoaderPort& port;
    TrafficLog* log;

    Mode mode = Mode::awaitingSync;
    bool echoEnabled = true;
    bool isUnlocked = false;
    bool hungUp = false;
    std::uint32_t crpLevel = 0;
    std::optional<std::uint32_t> baudSetting;
    std::uint32_t lineRate = 0;
    std::uint32_t stopBitSetting = isp::powerOnStopBits;
    std::optional<GoReport> goReport;
    WriteTransfer writeTransfer;
    ReadTransfer readTransfer;

    LineAssembler lines{*this};

    std::array<std::uint32_t, isp::commandLetters> commands{};
    std::uint32_t resends = 0;
    // The command running is a copy that a corrupt fault picked.
    bool corruptCopy = false;
};

} // namespace sparwick::sim
