#include "sim/BootLoader.h"

#include "sim/BootLoaderConstants.h"
#include "sim/DecimalNumber.h"
#include "sim/IspLines.h"
#include "sim/IspStatus.h"
#include "sim/TrafficLog.h"

#include <algorithm>

namespace sparwick::sim {

namespace {

std::vector<std::string_view> split(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t begin = text.find_first_not_of(" \t", pos);
        if (begin == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(text.find_first_of(" \t", begin), text.size());
        tokens.push_back(text.substr(begin, end - begin));
        pos = end;
    }
    return tokens;
}

// What a fault does to a reply that is about to leave: echo is the held echo of the line
// that the reply answers.
std::string applyFault(const FaultRule& rule, std::string echo, std::string reply) {
    std::string all;
    switch (rule.action) {
    case FaultAction::silent:
        return all;
    case FaultAction::truncate:
        all = echo + reply;
        if (!all.empty()) {
            all.pop_back();
        }
        return all;
    case FaultAction::garble:
        if (!reply.empty()) {
            reply.front() = static_cast<char>(reply.front() ^ isp::garbledBit);
        } else if (!echo.empty()) {
            echo.back() = static_cast<char>(echo.back() ^ isp::garbledBit);
        }
        return echo + reply;
    case FaultAction::extra:
        all = echo + reply;
        all += all.empty() ? '\n' : all.back();
        return all;
    default:
        return echo + reply;
    }
}

// The arguments in the command's form, or nothing.
std::optional<BootLoader::Arguments> parseArguments(const BootLoader::Command& command,
                                                    const std::vector<std::string_view>& tokens) {
    if (tokens.size() != 1 + command.numbers + (command.modeLetter ? 1 : 0)) {
        return std::nullopt;
    }
    BootLoader::Arguments args;
    for (std::size_t i = 0; i < command.numbers; ++i) {
        const auto value = parseDecimal(tokens[1 + i]);
        if (!value) {
            return std::nullopt;
        }
        args.numbers[i] = *value;
    }
    if (command.modeLetter) {
        const std::string_view mode = tokens.back();
        if (mode.size() != 1 || (mode[0] != isp::armMode && mode[0] != isp::thumbMode)) {
            return std::nullopt;
        }
        args.mode = mode[0];
    }
    return args;
}

} // namespace

std::span<const BootLoader::Command> BootLoader::commandTable() {
    using B = BootLoader;
    static constexpr std::array<Command, 13> table = {{
        {isp::unlockCommand, FaultStep::unlock, 1, false, false, &B::unlock},
        {isp::baudCommand, std::nullopt, 2, false, false, &B::setBaudRate},
        {isp::echoCommand, FaultStep::echo, 1, false, false, &B::setEcho},
        {isp::writeCommand, FaultStep::write, 2, false, false, &B::writeToRam},
        {isp::readCommand, FaultStep::read, 2, false, false, &B::readMemory},
        {isp::prepareCommand, FaultStep::prepare, 2, false, false, &B::prepare},
        {isp::copyCommand, FaultStep::copy, 3, false, true, &B::copyToFlash},
        {isp::goCommand, FaultStep::go, 1, true, true, &B::go},
        {isp::eraseCommand, FaultStep::erase, 2, false, true, &B::erase},
        {isp::blankCheckCommand, FaultStep::blankCheck, 2, false, false, &B::blankCheck},
        {isp::partIdCommand, FaultStep::partId, 0, false, false, &B::partId},
        {isp::bootVersionCommand, std::nullopt, 0, false, false, &B::bootVersion},
        {isp::compareCommand, std::nullopt, 3, false, false, &B::compare},
    }};
    return table;
}

BootLoader::BootLoader(const PartDescription& partDescription,
                       std::span<const std::uint8_t> flashContents, FaultInjector& faultInjector,
                       BootLoaderPort& bootLoaderPort, TrafficLog* trafficLog)
    : part(partDescription)
    , flashMemory(partDescription, flashContents)
    , memory(flashMemory)
    , faults(faultInjector)
    , port(bootLoaderPort)
    , log(trafficLog) {
    powerOn();
}

void BootLoader::powerOn() {
    mode = Mode::awaitingSync;
    echoEnabled = true;
    isUnlocked = false;
    hungUp = false;
    baudSetting.reset();
    stopBitSetting = isp::powerOnStopBits;
    goReport.reset();
    writeTransfer = {};
    readTransfer = {};
    lines.clear();
    flashMemory.protectAll();
    memory.powerOn();
    const std::uint32_t word = flashMemory.word(isp::crpWordAddress);
    const auto level = std::find(isp::crpWords.begin(), isp::crpWords.end(), word);
    crpLevel = level == isp::crpWords.end()
                   ? 0
                   : static_cast<std::uint32_t>(level - isp::crpWords.begin()) + 1;
}

bool BootLoader::refusedByProtection(char letter, const Arguments& args) const {
    if (crpLevel == 0) {
        return false;
    }
    const std::uint32_t first = args.numbers[0];
    const bool wholeFlash = first == 0 && args.numbers[1] + 1 == part.sectorCount();
    switch (letter) {
    case 'R':
    case 'M':
    case 'G':
    case 'I':
        return true;
    case 'W':
        return crpLevel >= 2 || first < isp::crpLowestRamWrite;
    case 'C':
        return crpLevel >= 2 || part.sectorOf(first) == 0;
    case 'E':
        // Sector 0 (at level 2 any sector) only with every other one.
        return (crpLevel >= 2 || first == 0) && !wholeFlash;
    default:
        return false;
    }
}

void BootLoader::receive(char byte, Clock::time_point now) {
    if (!listening()) {
        return;
    }
    if (mode == Mode::awaitingSync) {
        // Autobaud measures the sync character; anything else is noise to it. At a rate
        // that the crystal cannot divide down to it cannot lock, and stays silent.
        if (byte != isp::syncCharacter) {
            return;
        }
        const bool locks = contains(isp::baudRates, lineRate);
        if (log != nullptr) {
            log->event(std::string("autobaud ") + (locks ? "locks" : "cannot lock") + " at " +
                       std::to_string(lineRate) + " baud");
        }
        if (locks) {
            exchange(FaultStep::sync, [&](const std::optional<FaultRule>&) {
                mode = Mode::awaitingSyncWord;
                return textLine(isp::syncWord);
            });
        }
        return;
    }
    lines.receive(byte, now);
}

void BootLoader::tick(Clock::time_point now) {
    lines.tick(now);
}

LineAssembler::LineStart BootLoader::lineStarts(bool lineEnd) {
    LineAssembler::LineStart start;
    if (echoEnabled) {
        start.echo = faultMayApply() ? LineAssembler::Echo::held : LineAssembler::Echo::immediate;
    }
    if (!lineEnd && mode == Mode::receivingData && !writeTransfer.expectsChecksum()) {
        start.lostBytes = dataLineLoss();
    }
    return start;
}

std::uint32_t BootLoader::dataLineLoss() {
    const auto fault = faults.occurrence(FaultStep::dataLine);
    if (!fault || fault->action != FaultAction::drop) {
        return 0;
    }
    logFault(*fault);
    return fault->dropBytes;
}

void BootLoader::logFault(const FaultRule& fault) {
    if (log != nullptr) {
        log->event("fault " + describeFaultRule(fault));
    }
}

void BootLoader::echo(std::string_view bytes) {
    port.transmit(bytes);
}

bool BootLoader::faultMayApply() const {
    switch (mode) {
    case Mode::awaitingSyncWord:
        return faults.pending(FaultStep::syncWord);
    case Mode::awaitingCrystal:
        return faults.pending(FaultStep::crystal);
    case Mode::commands:
        return faults.pendingAny([](FaultStep step) {
            const auto table = commandTable();
            return std::any_of(table.begin(), table.end(),
                               [&](const Command& command) { return command.faultStep == step; });
        });
    case Mode::receivingData:
        return faults.pending(FaultStep::dataChecksum);
    default:
        return false;
    }
}

void BootLoader::escape() {
    if (mode == Mode::receivingData || mode == Mode::awaitingReadAck) {
        mode = Mode::commands;
        if (log != nullptr) {
            log->event("ESC: transfer abandoned");
        }
    }
}

void BootLoader::lineComplete(const std::string& text, bool overflow) {
    if (log != nullptr) {
        log->received(text);
    }
    switch (mode) {
    case Mode::awaitingSyncWord:
        exchange(FaultStep::syncWord, [&](const std::optional<FaultRule>&) {
            if (text != isp::syncWord) {
                // Not synchronised after all: autobaud starts over, without a word.
                mode = Mode::awaitingSync;
                return std::string();
            }
            mode = Mode::awaitingCrystal;
            return textLine(isp::okWord);
        });
        break;
    case Mode::awaitingCrystal:
        exchange(FaultStep::crystal, [&](const std::optional<FaultRule>&) {
            const auto kHz = parseDecimal(text);
            if (!kHz || *kHz < isp::minCrystalKHz || *kHz > isp::maxCrystalKHz) {
                return std::string();
            }
            mode = Mode::commands;
            return textLine(isp::okWord);
        });
        break;
    case Mode::commands:
        if (overflow) {
            const std::string echoed = lines.takeHeldEcho();
            send(echoed + statusLine(IspStatus::paramError), echoed.size());
        } else {
            dispatchCommand(text);
        }
        break;
    case Mode::receivingData:
        if (writeTransfer.expectsChecksum()) {
            checksumLine(text);
        } else {
            dataLine(text);
        }
        break;
    case Mode::awaitingReadAck:
        readAcknowledgement(text);
        break;
    default:
        break;
    }
}

template <typename Execute>
std::optional<FaultRule> BootLoader::exchange(std::optional<FaultStep> step, Execute&& execute) {
    std::optional<FaultRule> fault;
    if (step) {
        fault = faults.occurrence(*step);
    }
    if (fault) {
        logFault(*fault);
    }
    std::string echoed = lines.takeHeldEcho();
    if (fault && fault->action == FaultAction::hangup) {
        hungUp = true;
        port.hangUp();
        return fault;
    }
    if (fault && fault->action == FaultAction::status) {
        const std::string reply = numberLine(fault->status);
        send(echoed + reply, echoed.size());
        return fault;
    }
    std::string reply = execute(fault);
    const std::size_t echoLength = echoed.size();
    std::string out = fault ? applyFault(*fault, std::move(echoed), std::move(reply))
                            : std::move(echoed) + std::move(reply);
    send(std::move(out), echoLength);
    return fault;
}

void BootLoader::send(std::string bytes, std::size_t echoLength) {
    if (bytes.empty()) {
        return;
    }
    if (log != nullptr && bytes.size() > echoLength) {
        log->sent(std::string_view(bytes).substr(echoLength));
    }
    port.transmit(bytes);
}

void BootLoader::dispatchCommand(std::string_view text) {
    const std::vector<std::string_view> tokens = split(text);
    if (tokens.empty()) {
        lines.flushHeldEcho();
        return;
    }
    const char letter = tokens[0].size() == 1 ? tokens[0][0] : '\0';
    if (letter >= 'A' && letter <= 'Z') {
        ++commands[static_cast<std::size_t>(letter - 'A')];
    }
    const auto table = commandTable();
    const auto command = std::find_if(table.begin(), table.end(),
                                      [&](const Command& entry) { return entry.letter == letter; });
    const bool known = command != table.end();
    exchange(known ? command->faultStep : std::nullopt, [&](const std::optional<FaultRule>& fault) {
        // Every command runs the boot loader over its own variables and stack.
        memory.runBootLoader(false);
        if (!known) {
            return statusLine(IspStatus::invalidCommand);
        }
        corruptCopy = fault && fault->action == FaultAction::corrupt;
        std::string reply = runCommand(*command, tokens);
        corruptCopy = false;
        return reply;
    });
}

std::string BootLoader::runCommand(const Command& command,
                                   const std::vector<std::string_view>& tokens) {
    const std::optional<Arguments> args = parseArguments(command, tokens);
    if (!args) {
        return statusLine(IspStatus::paramError);
    }
    if (command.needsUnlock && !isUnlocked) {
        return statusLine(IspStatus::cmdLocked);
    }
    if (refusedByProtection(command.letter, *args)) {
        return statusLine(IspStatus::codeReadProtectionEnabled);
    }
    return (this->*command.handler)(*args);
}

std::string BootLoader::unlock(const Arguments& args) {
    if (args.numbers[0] != isp::unlockCode) {
        return statusLine(IspStatus::invalidCode);
    }
    isUnlocked = true;
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::setBaudRate(const Arguments& args) {
    if (!contains(isp::baudRates, args.numbers[0])) {
        return statusLine(IspStatus::invalidBaudRate);
    }
    if (!contains(isp::stopBits, args.numbers[1])) {
        return statusLine(IspStatus::invalidStopBit);
    }
    // The new rate applies once the reply has gone out at the old one.
    baudSetting = args.numbers[0];
    stopBitSetting = args.numbers[1];
    return statusLine(IspStatus::cmdSuccess);
}

std::string BootLoader::setEcho(const Arguments& args) {
    if (args.numbers[0] > 1) {
        return statusLine(IspStatus::paramError);
    }
    echoEnabled = args.numbers[0] == 1;
    return statusLine(IspStatus::cmdSuccess);
}

void BootLoader::dataLine(std::string_view text) {
    lines.flushHeldEcho();
    writeTransfer.dataLine(text, memory);
}

void BootLoader::checksumLine(std::string_view text) {
    const auto fault = exchange(FaultStep::dataChecksum, [&](const std::optional<FaultRule>& f) {
        const bool matched =
            writeTransfer.checksumLine(text, f && f->action == FaultAction::resend);
        if (!matched) {
            ++resends;
        } else if (writeTransfer.complete()) {
            mode = Mode::commands;
        }
        return textLine(matched ? isp::okWord : isp::resendWord);
    });
    if (fault && fault->action == FaultAction::status) {
        // Another answer than OK or RESEND ends the transfer.
        mode = Mode::commands;
    }
}

void BootLoader::readAcknowledgement(std::string_view text) {
    std::string echoed = lines.takeHeldEcho();
    const std::size_t echoLength = echoed.size();
    switch (readTransfer.answer(text)) {
    case ReadTransfer::Answer::finished:
        mode = Mode::commands;
        send(std::move(echoed), echoLength);
        break;
    case ReadTransfer::Answer::unknown:
        send(std::move(echoed), echoLength);
        break;
    case ReadTransfer::Answer::again:
        ++resends;
        send(echoed + readGroup(), echoLength);
        break;
    case ReadTransfer::Answer::next:
        send(echoed + readGroup(), echoLength);
        break;
    }
}

std::string BootLoader::readGroup() {
    ReadTransfer::Group group = readTransfer.group(memory);
    return std::move(group.lines) + sumLine(group.sum);
}

std::string BootLoader::sumLine(std::uint64_t sum) {
    std::string text = numberLine(sum);
    const std::optional<FaultRule> fault = faults.occurrence(FaultStep::readChecksum);
    if (!fault) {
        return text;
    }
    logFault(*fault);
    switch (fault->action) {
    case FaultAction::hangup:
        hungUp = true;
        port.hangUp();
        return {};
    case FaultAction::status:
        // Another number where the sum belongs.
        return numberLine(fault->status);
    default:
        return applyFault(*fault, {}, std::move(text));
    }
}

} // namespace sparwick::sim
