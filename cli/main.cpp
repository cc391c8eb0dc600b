// sparwick-cli: the firmware update from a terminal or a script. It asks for the same two
// choices as the dialog (port and speed), prints the same messages, and says how the
// update ended in its exit status.
#include "cli/PortArgument.h"
#include "cli/ProcessSetup.h"
#include "cli/ProductionLine.h"
#include "cli/Update.h"
#include "flash/FlashLayout.h"
#include "flash/IspProtocol.h"
#include "stub/TurboProtocol.h"

#include <CLI/CLI.hpp>
#include <SparwickVersion.h>
#include <algorithm>
#include <array>
#include <cstdio>
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

std::string usage() {
    return "usage: sparwick-cli --port PORT [--speed high|low | --baud RATE] [--fast] [--verify]\n"
           "                    [--turbo] [--reset WIRING [--reset-hold MS] [--reset-wait MS]]\n"
           "                    [--after go|reset|stay]\n"
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

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    CLI::App app{"Writes the firmware this program carries into an LPC2000-family device "
                 "through its serial ISP boot loader.",
                 "sparwick-cli"};
    std::vector<std::string> ports;
    ProductionLineChoices line;
    bool worker = false;
    unsigned count = 0;
    std::string speed = "high";
    bool simulate = false;
    bool list = false;
    std::uint32_t part = layout::supportedParts.front().partId;
    // As written, so that a value no number can hold is refused with the others.
    std::vector<std::string> partIds;
    for (const auto& supported : layout::supportedParts) {
        partIds.push_back(std::to_string(supported.partId));
    }
    UpdateOptions options;

    auto* portOption =
        app.add_option("--port", ports,
                       "the device's COM port as --list-ports shows it, or the path of a serial "
                       "device; several for several boards at once, usb for every USB serial "
                       "port present")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto* speedOption =
        app.add_option("--speed", speed, "line speed: high (115200 baud) or low (19200 baud)")
            ->check(CLI::IsMember({"high", "low"}))
            ->capture_default_str();
    std::uint32_t baud = 0;
    const std::string ispRates = rateList(isp::autobaudRates);
    const std::string turboRates = rateList(turbo::lineRates);
    auto* baudOption =
        app.add_option("--baud", baud,
                       "line rate in baud instead of --speed: " + ispRates +
                           ". Without --fast each data line is followed by the high speed's "
                           "pause (20 ms) above 19200 baud and the low speed's (2 ms) at 19200 "
                           "and below; use it with --fast. With --turbo, the flasher's rate "
                           "instead (" +
                           turboRates + "), the boot loader's being --speed's")
            ->check(CLI::Validator(
                [&ispRates](std::string& text) -> std::string {
                    const bool number = !text.empty() && text.size() <= 7 &&
                                        text.find_first_not_of("0123456789") == std::string::npos;
                    return number ? "" : text + " is not a rate the boot loader takes: " + ispRates;
                },
                ""))
            ->type_name("RATE");
    auto* simulateFlag =
        app.add_flag("--simulate", simulate, "update a simulated device in-process and verify it");
    app.add_option("--part", part, "the simulated part: " + partList(" or ", true))
        ->check(CLI::IsMember(partIds))
        ->needs(simulateFlag)
        ->capture_default_str();
    app.add_flag("--fast", options.fast,
                 "send the data lines back to back, paced by the device's XOFF/XON and "
                 "checked by its checksums; lines it refuses are sent again with the pause");
    app.add_flag("--turbo", options.turbo,
                 "load a flasher into the device's RAM and send the image to it in binary at "
                 "921600 baud (or --baud's), each block with a CRC-32 (a --verify is a CRC-32 "
                 "of the flash)");
    std::string wiring;
    auto* resetOption =
        app.add_option("--reset", wiring,
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
    app.add_option("--reset-hold", options.resetTimings.holdMs,
                   "with --reset: how long RESET is held low, in ms")
        ->check(CLI::Range(1u, 5000u))
        ->needs(resetOption)
        ->capture_default_str();
    app.add_option("--reset-wait", options.resetTimings.waitMs,
                   "with --reset: the wait after RESET's release before the first \"?\", in ms "
                   "(long enough for a reset supervisor chip)")
        ->check(CLI::Range(0u, 5000u))
        ->needs(resetOption)
        ->capture_default_str();
    std::string after;
    auto* afterOption =
        app.add_option("--after", after,
                       "what a successful update does with the board: go (the boot loader "
                       "starts the firmware; the default without --reset), reset (a RESET "
                       "pulse starts it as from power-on; the default with --reset) or stay "
                       "(the boot loader waits)")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    return parseAfterUpdate(text) ? "" : text + " is not one of go, reset, stay";
                },
                ""));
    auto* listFlag = app.add_flag("--list-ports", list, "list the COM ports present and exit");
    app.add_flag("--verify", options.verify,
                 "read the flash back and compare it with the image before starting it")
        ->excludes(listFlag);
    baudOption->excludes(listFlag);
    auto* stationFlag = app.add_flag(
        "--station", line.station,
        "keep each port's loop going until Ctrl-C: wait for a board in ISP mode, update it, "
        "report, wait for the next");
    auto* countOption = app.add_option("--count", count, "with --station: stop after N boards")
                            ->check(CLI::PositiveNumber)
                            ->needs(stationFlag);
    auto* logOption =
        app.add_option("--log", line.logPath,
                       "append one JSON line per board to FILE, synced to disk before the next");
    // A supervisor's worker: one board, and events instead of text on standard output.
    app.add_flag("--worker", worker)->group("");
    app.add_flag("--await-board", options.awaitBoard)->group("");
    app.add_flag("--boot-code", options.readBootCode)->group("");
    app.set_version_flag("--version", productName);
    portOption->excludes(simulateFlag)->excludes(listFlag);
    resetOption->excludes(simulateFlag)->excludes(listFlag);
    afterOption->excludes(simulateFlag)->excludes(listFlag);
    for (auto* productionLine : {stationFlag, logOption}) {
        productionLine->excludes(simulateFlag)->excludes(listFlag);
    }
    simulateFlag->excludes(listFlag);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e); // --help, --version
        }
        return usageError(e.what());
    }

    const bool highSpeed = speed == "high";
    if (baudOption->count() != 0) {
        if (options.turbo) {
            if (!listed(turbo::lineRates, baud)) {
                return usageError("--baud: " + std::to_string(baud) +
                                  " is not a rate the turbo flasher takes: " + turboRates);
            }
            options.turboBaud = baud;
        } else if (!listed(isp::autobaudRates, baud)) {
            return usageError("--baud: " + std::to_string(baud) +
                              " is not a rate the boot loader takes: " + ispRates);
        } else if (speedOption->count() != 0) {
            return usageError("--baud excludes --speed");
        } else {
            options.baudRate = baud;
        }
    }
    if (resetOption->count() != 0) {
        options.reset = ResetWiring::parse(wiring);
    }
    if (afterOption->count() != 0) {
        options.after = parseAfterUpdate(after);
    }
    if (options.after == AfterUpdate::reset && !options.reset) {
        return usageError("--after reset needs --reset: only a board wired to the adapter's "
                          "modem lines can be reset");
    }
    if (options.after == AfterUpdate::stay && options.turbo && !options.reset) {
        return usageError("--after stay with --turbo needs --reset: the flasher runs in the "
                          "device's RAM until a reset brings the boot loader back");
    }
    if (options.reset && line.station) {
        return usageError("--station excludes --reset: a reset brings every board back into "
                          "software upgrade mode, so the station would update the same board "
                          "again and again; reset the boards by hand, or update each with "
                          "--reset on its own");
    }
    if (list) {
        printPortList(stdout);
        return exitSuccess;
    }
    if (simulate) {
        return runSimulatedUpdate(part, highSpeed, options);
    }
    if (portOption->count() == 0) {
        return usageError("one of --port, --simulate or --list-ports is required");
    }
    line.ports = ports;
    line.highSpeed = highSpeed;
    line.options = options;
    line.count = countOption->count() > 0 ? std::optional<unsigned>(count) : std::nullopt;
    line.usage = usage();
    if (!worker && needsSupervisor(line)) {
        return runProductionLine(line);
    }
    if (ports.size() != 1) {
        return usageError("a worker takes one --port");
    }
    const PortChoice choice = choosePort(ports.front());
    if (!choice.refusal.empty()) {
        return usageError(choice.refusal, choice.withUsage);
    }
    if (worker) {
        return runWorkerUpdate(choice.portName, highSpeed, options);
    }
    return runUpdate(choice.portName, highSpeed, options);
}
