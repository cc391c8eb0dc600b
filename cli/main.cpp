// sparwick-cli: the firmware update from a terminal or a script. It asks for the same two
// choices as the dialog (port and speed), prints the same messages, and says how the
// update ended in its exit status.
#include "cli/PortArgument.h"
#include "cli/ProcessSetup.h"
#include "cli/Update.h"

#include <CLI/CLI.hpp>
#include <SparwickVersion.h>
#include <cstdio>
#include <string>

namespace {

using namespace sparwick;
using namespace sparwick::cli;

constexpr const char* usage =
    "usage: sparwick-cli --port PORT [--speed high|low] [--fast] [--verify]\n"
    "       sparwick-cli --simulate [--part 196389|196387] "
    "[--speed high|low] [--verify]\n"
    "       sparwick-cli --list-ports\n"
    "       sparwick-cli --help | --version\n";

int usageError(const std::string& reason, bool withUsage = true) {
    std::fprintf(stderr, "sparwick-cli: %s\n%s", reason.c_str(), withUsage ? usage : "");
    return exitUsage;
}

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    CLI::App app{"Writes the firmware this program carries into an LPC2000-family device "
                 "through its serial ISP boot loader.",
                 "sparwick-cli"};
    std::string port;
    std::string speed = "high";
    bool simulate = false;
    bool list = false;
    std::uint32_t part = 196389;
    UpdateOptions options;

    auto* portOption = app.add_option(
        "--port", port,
        "the device's COM port as --list-ports shows it, or the path of a serial device");
    app.add_option("--speed", speed, "line speed: high (115200 baud) or low (19200 baud)")
        ->check(CLI::IsMember({"high", "low"}))
        ->capture_default_str();
    auto* simulateFlag =
        app.add_flag("--simulate", simulate, "update a simulated device in-process and verify it");
    app.add_option("--part", part, "the simulated part: 196389 (27 sectors) or 196387 (15)")
        ->check(CLI::IsMember({196389u, 196387u}))
        ->needs(simulateFlag)
        ->capture_default_str();
    app.add_flag("--fast", options.fast,
                 "send the data lines back to back, paced by the device's XOFF/XON and "
                 "checked by its checksums; lines it refuses are sent again with the pause");
    auto* listFlag = app.add_flag("--list-ports", list, "list the COM ports present and exit");
    app.add_flag("--verify", options.verify,
                 "read the flash back and compare it with the image before starting it")
        ->excludes(listFlag);
    app.set_version_flag("--version", productName);
    portOption->excludes(simulateFlag)->excludes(listFlag);
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
    const PortChoice choice = choosePort(port);
    if (!choice.refusal.empty()) {
        return usageError(choice.refusal, choice.withUsage);
    }
    return runUpdate(choice.portName, highSpeed, options);
}
