// sparwick-cli: the firmware update from a terminal or a script. It asks for the same two
// choices as the dialog (port and speed), prints the same messages, and says how the
// update ended in its exit status.
#include "cli/TerminalPath.h"
#include "cli/Update.h"
#include "serial/DeviceNames.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

namespace {

using namespace sparwick;
using namespace sparwick::cli;

constexpr const char* productName = "Brumetor Sparwick v3.2.0";

constexpr const char* usage = "usage: sparwick-cli --port PORT [--speed high|low] [--verify]\n"
                              "       sparwick-cli --simulate [--part 196389|196387] "
                              "[--speed high|low] [--verify]\n"
                              "       sparwick-cli --list-ports\n"
                              "       sparwick-cli --help | --version\n";

// A device path given with --port stands for this name within the process: the channel
// selects names of four or five characters only.
constexpr const char* pathPortName = "COM99";

int usageError(const std::string& reason) {
    std::fprintf(stderr, "sparwick-cli: %s\n%s", reason.c_str(), usage);
    return exitUsage;
}

} // namespace

int main(int argc, char** argv) {
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
    if (port.find('/') != std::string::npos) {
        if (!isTerminalPath(port)) {
            return usageError("not a serial device: " + port);
        }
        standFor(pathPortName, port);
        port = pathPortName;
    }
    return runUpdate(port, highSpeed, options);
}
