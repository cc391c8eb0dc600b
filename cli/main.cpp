// sparwick-cli: the firmware update from a terminal or a script. It asks for the same two
// choices as the dialog (port and speed), prints the same messages, and says how the
// update ended in its exit status.
#include "cli/Check.h"
#include "cli/PortArgument.h"
#include "cli/ProcessSetup.h"
#include "cli/ProductionLine.h"
#include "cli/Update.h"
#include "cli/WorkerStream.h"
#include "flash/FlashLayout.h"
#include "flash/IspProtocol.h"
#include "serial/LineRates.h"
#include "stub/TurboProtocol.h"

#include <CLI/CLI.hpp>
#include <SparwickVersion.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sparwick;
using namespace sparwick::cli;

// The supported parts' ids as the command line shows them: "196389|196387", or with
// their sector counts for the help.
std::string partList(std::string_view separator, bool withSectors) {
    std::string list;
    for (const auto& part : layout::supportedParts) {
        if (!list.empty()) {
            list += separator;
        }
        list += std::to_string(part.partId);
        if (withSectors) {
            list += " (" + std::to_string(part.sectorCount) + " sectors)";
        }
    }
    return list;
}

// The rates --baud takes, "9600, 19200, ..." as the help and the usage errors list them:
// those the boot loader's autobaud locks to with this device's crystal, or with --turbo
// those of the flasher's line.
template <std::size_t count>
std::string rateList(const std::array<std::uint32_t, count>& rates) {
    std::string list;
    for (const std::uint32_t rate : rates) {
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    }
    return list;
}

template <std::size_t count>
bool listed(const std::array<std::uint32_t, count>& rates, std::uint32_t rate) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

// A number as people write one on a command line: decimal digits and nothing else. The
// parser's own conversion would take 010 as octal, 0x10 as hexadecimal, and " 5" or "+3";
// leading zeros are dropped here, so that what it converts is plain decimal. The refusal
// is the text as given followed by why.
CLI::Validator decimal(const std::string& why, std::uint32_t least) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
                return text + why;
            }
            const std::string given = text;
            text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
            std::uint32_t value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            return error == std::errc() && value >= least ? "" : given + why;
        },
        "");
}

std::string usage() {
    return "usage: sparwick-cli --port PORT [--speed high|low | --baud RATE] [--fast] [--verify]\n"
           "                    [--turbo] [--reset WIRING [--reset-hold MS] [--reset-wait MS]]\n"
           "                    [--after go|reset|stay]\n"
           "       sparwick-cli --port PORT|usb... --check [--log FILE] [--speed high|low]\n"
           "                    [--turbo [--baud RATE]] [--reset WIRING] [--after reset|stay]\n"
           "       sparwick-cli --port PORT|usb... [--station [--count N]] [--log FILE]\n"
           "                    [--speed high|low | --baud RATE] [--fast] [--verify] [--turbo]\n"
           "                    [--reset WIRING] [--after go|reset|stay]\n"
           "       sparwick-cli --simulate [--part " +
           partList("|", false) +
           "] [--speed high|low | --baud RATE]\n"
           "                    [--fast] [--verify] [--turbo]\n"
           "       sparwick-cli --list-ports\n"
           "       sparwick-cli --help | --version\n";
}

int usageError(const std::string& reason, bool withUsage = true) {
    std::fprintf(stderr, "sparwick-cli: %s\n%s", reason.c_str(), withUsage ? usage().c_str() : "");
    return exitUsage;
}

// What the command line chose, and the options whose presence matters after the parse.
struct Choices {
    std::vector<std::string> ports;
    ProductionLineRun line;
    bool worker = false;
    unsigned count = 0;
    std::string speed = "high";
    bool simulate = false;
    bool list = false;
    bool check = false;
    std::uint32_t part = layout::supportedParts.front().partId;
    std::uint32_t baud = 0;
    UpdateOptions options;

    CLI::Option* portOption = nullptr;
    CLI::Option* speedOption = nullptr;
    CLI::Option* baudOption = nullptr;
    CLI::Option* simulateFlag = nullptr;
    CLI::Option* listFlag = nullptr;
    CLI::Option* checkFlag = nullptr;
    CLI::Option* countOption = nullptr;
    std::string wiring;
    std::string after;
    CLI::Option* resetOption = nullptr;
    CLI::Option* afterOption = nullptr;
};

// The options of a single update: the port, the line, the simulated device.
void addUpdateOptions(CLI::App& app, Choices& c) {
    // As written, so that a value no number can hold is refused with the others.
    std::vector<std::string> partIds;
    for (const auto& supported : layout::supportedParts) {
        partIds.push_back(std::to_string(supported.partId));
    }
    c.portOption =
        app.add_option("--port", c.ports,
                       "the device's COM port as --list-ports shows it, or the path of a serial "
                       "device; several for several boards at once, usb for every USB serial "
                       "port present")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    c.speedOption =
        app.add_option("--speed", c.speed,
                       "line speed: high (" + std::to_string(linerate::highSpeedBaud) +
                           " baud) or low (" + std::to_string(linerate::lowSpeedBaud) + " baud)")
            ->check(CLI::IsMember({"high", "low"}))
            ->capture_default_str();
    const std::string ispRates = rateList(isp::autobaudRates);
    c.baudOption =
        app.add_option("--baud", c.baud,
                       "line rate in baud instead of --speed: " + ispRates +
                           ". Without --fast each data line is followed by the high speed's "
                           "pause (" +
                           std::to_string(isp::linePauseHighSpeedMs) + " ms) above " +
                           std::to_string(linerate::lowSpeedBaud) + " baud and the low speed's (" +
                           std::to_string(isp::linePauseLowSpeedMs) + " ms) at " +
                           std::to_string(linerate::lowSpeedBaud) +
                           " and below; use it with --fast. With --turbo, the flasher's rate "
                           "instead (" +
                           rateList(turbo::lineRates) + "), the boot loader's being --speed's")
            ->transform(decimal(" is not a rate the boot loader takes: " + ispRates, 0))
            ->type_name("RATE");
    c.simulateFlag = app.add_flag("--simulate", c.simulate,
                                  "update a simulated device in-process and verify it");
    app.add_option("--part", c.part, "the simulated part: " + partList(" or ", true))
        ->check(CLI::IsMember(partIds))
        ->needs(c.simulateFlag)
        ->capture_default_str();
    app.add_flag("--fast", c.options.fast,
                 "send the data lines back to back, paced by the device's XOFF/XON and "
                 "checked by its checksums; lines it refuses are sent again with the pause");
    app.add_flag("--turbo", c.options.turbo,
                 "load a flasher into the device's RAM and send the image to it in binary at " +
                     std::to_string(UpdateOptions{}.turboBaud) +
                     " baud (or --baud's), each block with a CRC-32 (a --verify is a CRC-32 "
                     "of the flash); only the blocks the flash does not hold are erased and "
                     "written, the vectors last");
    c.listFlag = app.add_flag("--list-ports", c.list, "list the COM ports present and exit");
    c.checkFlag = app.add_flag(
        "--check", c.check,
        "write nothing: exit 0 when the device's flash already holds the image, 1 when it does "
        "not (naming the 4096-byte blocks that differ); through the turbo flasher's CRCs with "
        "--turbo (the device then needs a power cycle or --reset), otherwise read back in ISP "
        "mode; with several ports, each board's result is current or differs");
    app.add_flag("--verify", c.options.verify,
                 "read the flash back and compare it with the image before starting it")
        ->excludes(c.listFlag);
    c.baudOption->excludes(c.listFlag);
}

// The production line's options, the worker's hidden ones, and what excludes what.
void addLineOptions(CLI::App& app, Choices& c) {
    auto* stationFlag = app.add_flag(
        "--station", c.line.station,
        "keep each port's loop going until Ctrl-C: wait for a board in ISP mode, update it, "
        "report, wait for the next");
    c.countOption =
        app.add_option("--count", c.count, "with --station: stop after N boards")
            ->transform(decimal(": the number of boards is a decimal number, 1 or more", 1))
            ->needs(stationFlag);
    auto* logOption =
        app.add_option("--log", c.line.logPath,
                       "append one JSON line per board to FILE, synced to disk before the next");
    // A supervisor's worker: one board, and events instead of text on standard output.
    app.add_flag("--worker", c.worker)->group("");
    app.add_flag("--await-board", c.options.awaitBoard)->group("");
    app.add_flag("--boot-code", c.options.readBootCode)->group("");
    app.set_version_flag("--version", productName);
    c.portOption->excludes(c.simulateFlag)->excludes(c.listFlag);
    for (auto* productionLine : {stationFlag, logOption}) {
        productionLine->excludes(c.simulateFlag)->excludes(c.listFlag);
    }
    c.simulateFlag->excludes(c.listFlag);
    c.checkFlag->excludes(c.simulateFlag)->excludes(c.listFlag);
    c.checkFlag->excludes("--verify")->excludes("--fast");
}

// The board reset through the adapter's modem lines, and what ends an update.
void addResetOptions(CLI::App& app, Choices& c) {
    c.resetOption =
        app.add_option("--reset", c.wiring,
                       "reset the board into ISP mode (and after the update into its firmware) "
                       "through the adapter's modem lines: dtr-rts (DTR drives RESET, RTS drives "
                       "P0.14) or rts-dtr, with ,invert where an asserted line is a high pin")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    return ResetWiring::parse(text)
                               ? ""
                               : text + " is not a wiring: dtr-rts or rts-dtr, each with an "
                                        "optional ,invert";
                },
                ""))
            ->type_name("WIRING");
    app.add_option("--reset-hold", c.options.resetTimings.holdMs,
                   "with --reset: how long RESET is held low, in ms")
        ->check(CLI::Range(1u, 5000u))
        ->needs(c.resetOption)
        ->capture_default_str();
    app.add_option("--reset-wait", c.options.resetTimings.waitMs,
                   "with --reset: the wait after RESET's release before the first \"?\", in ms "
                   "(long enough for a reset supervisor chip)")
        ->check(CLI::Range(0u, 5000u))
        ->needs(c.resetOption)
        ->capture_default_str();
    c.afterOption =
        app.add_option(
               "--after", c.after,
               "what a successful update does with the board: go (the boot loader "
               "starts the firmware; the default without --reset), reset (a RESET "
               "pulse starts it as from power-on; the default with --reset) or stay "
               "(the boot loader waits); with --check and --reset, reset (the default) or stay")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    return parseAfterUpdate(text) ? "" : text + " is not one of go, reset, stay";
                },
                ""));
    c.resetOption->excludes(c.simulateFlag)->excludes(c.listFlag);
    c.afterOption->excludes(c.simulateFlag)->excludes(c.listFlag);
}

// --reset and --after into the options: a usage error's status for a combination that
// cannot work.
std::optional<int> takeReset(Choices& c) {
    if (c.resetOption->count() != 0) {
        c.options.reset = ResetWiring::parse(c.wiring);
    }
    if (c.afterOption->count() != 0) {
        c.options.after = parseAfterUpdate(c.after);
    }
    if (c.options.after == AfterUpdate::reset && !c.options.reset) {
        return usageError("--after reset needs --reset: only a board wired to the adapter's "
                          "modem lines can be reset");
    }
    if (c.options.after == AfterUpdate::stay && c.options.turbo && !c.options.reset) {
        return usageError("--after stay with --turbo needs --reset: the flasher runs in the "
                          "device's RAM until a reset brings the boot loader back");
    }
    if (c.check && c.line.station) {
        return usageError("--check excludes --station: a station takes board after board to "
                          "update it; check the boards present with a --port each, or --port usb");
    }
    if (c.check && c.options.after == AfterUpdate::go) {
        return usageError("--after go excludes --check: a check starts no firmware through the "
                          "boot loader; with --reset, --after reset starts it from a reset");
    }
    if (c.options.reset && c.line.station) {
        return usageError("--station excludes --reset: a reset brings every board back into "
                          "software upgrade mode, so the station would update the same board "
                          "again and again; reset the boards by hand, or update each with "
                          "--reset on its own");
    }
    return std::nullopt;
}

// --baud as the rate of the boot loader's line or, with --turbo, of the flasher's: a usage
// error's status when it is neither.
std::optional<int> takeBaud(Choices& c) {
    if (c.baudOption->count() == 0) {
        return std::nullopt;
    }
    if (c.options.turbo) {
        if (!listed(turbo::lineRates, c.baud)) {
            return usageError(
                "--baud: " + std::to_string(c.baud) +
                " is not a rate the turbo flasher takes: " + rateList(turbo::lineRates));
        }
        c.options.turboBaud = c.baud;
    } else if (!listed(isp::autobaudRates, c.baud)) {
        return usageError("--baud: " + std::to_string(c.baud) +
                          " is not a rate the boot loader takes: " + rateList(isp::autobaudRates));
    } else if (c.speedOption->count() != 0) {
        return usageError("--baud excludes --speed");
    } else {
        c.options.baudRate = c.baud;
    }
    return std::nullopt;
}

int run(Choices& c) {
    const bool highSpeed = c.speed == "high";
    if (c.list) {
        printPortList(stdout);
        return exitSuccess;
    }
    if (c.simulate) {
        return runSimulatedUpdate(c.part, highSpeed, c.options);
    }
    if (c.portOption->count() == 0) {
        return usageError("one of --port, --simulate or --list-ports is required");
    }
    c.line.check = c.check;
    c.line.ports = c.ports;
    c.line.highSpeed = highSpeed;
    c.line.options = c.options;
    c.line.count = c.countOption->count() > 0 ? std::optional<unsigned>(c.count) : std::nullopt;
    c.line.usage = usage();
    if (!c.worker && needsSupervisor(c.line)) {
        return runProductionLine(c.line);
    }
    if (c.ports.size() != 1) {
        return usageError("a worker takes one --port");
    }
    const PortChoice choice = choosePort(c.ports.front());
    if (!choice.refusal.empty()) {
        if (c.worker) {
            // The supervisor shows why, once, with the port's name.
            UpdateOutcome refused;
            refused.end = UpdateEnd::refused;
            refused.message = choice.refusal;
            std::printf("%s\n", formatEvent(outcomeEvent(refused)).c_str());
            return exitUsage;
        }
        return usageError(choice.refusal, choice.withUsage);
    }
    const UpdateAudience audience = c.worker ? UpdateAudience::supervisor : UpdateAudience::person;
    if (c.check) {
        return runCheck(choice.portName, highSpeed, c.options, audience);
    }
    return runUpdate(choice.portName, highSpeed, c.options, audience);
}

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    CLI::App app{"Writes the firmware this program carries into an LPC2000-family device "
                 "through its serial ISP boot loader.",
                 "sparwick-cli"};
    Choices choices;
    addUpdateOptions(app, choices);
    addLineOptions(app, choices);
    addResetOptions(app, choices);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e); // --help, --version
        }
        return usageError(e.what());
    }
    if (const auto refused = takeBaud(choices)) {
        return *refused;
    }
    if (const auto refused = takeReset(choices)) {
        return *refused;
    }
    return run(choices);
}
