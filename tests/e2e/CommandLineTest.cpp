// sparwick-cli as a user or a script runs it: its exit statuses, which stream each message
// goes to, and its progress lines when standard output is not a terminal.
#include "cli/Update.h"
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FarEnd.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace sparwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string cli = SPARWICK_CLI_PATH;
const std::string lpcsim = SPARWICK_LPCSIM_PATH;

test::ChildResult runCli(std::vector<std::string> args, std::chrono::milliseconds deadline = 10s) {
    args.insert(args.begin(), cli);
    return test::runChild(args, deadline);
}

std::string line(std::string_view text) {
    return std::string(text) + "\n";
}

fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() / ("sparwick-cli-" + std::to_string(::getpid()) + "-" + name);
}

// lpcsim in the background behind a link of its own, until the test ends.
struct Simulator {
    explicit Simulator(std::vector<std::string> extra)
        : link(scratch("link"))
        , dump(scratch("flash.bin"))
        , process([&] {
            std::vector<std::string> args{lpcsim, "--link", link, "--flash-out", dump};
            args.insert(args.end(), extra.begin(), extra.end());
            return args;
        }()) {
        ready = process.readLine(10s) == "ready " + link.string();
    }
    ~Simulator() { fs::remove(dump); }

    std::vector<std::uint8_t> stopAndReadFlash() {
        process.stop(10s);
        std::ifstream in(dump, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path link;
    fs::path dump;
    test::BackgroundProcess process;
    bool ready = false;
};

TEST(CommandLine, SimulatedUpdateOfEitherPartIsVerifiedAndReportsEveryBlock) {
    for (const std::string part : {"196389", "196387"}) {
        SCOPED_TRACE(part);
        test::ChildSetup setup;
        const bool emptyTmpdir = part == "196387";
        if (emptyTmpdir) {
            setup.environment = {"TMPDIR="}; // as if unset
        }
        auto run = test::ChildProcess({cli, "--simulate", "--part", part, "--speed", "low"}, setup)
                       .wait(60s);
        EXPECT_EQ(run.exitStatus, 0);
        if (emptyTmpdir) {
            EXPECT_TRUE(run.out.starts_with("Simulated LPC2000 part 196387 on /tmp/lpcsim-"))
                << run.out;
        }
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find(line(msg::success)), std::string::npos);
        EXPECT_NE(run.out.find("Verified: "), std::string::npos);
        // Not a terminal: one plain line per report, from the first block to the last.
        EXPECT_NE(run.out.find("\nprogress 0%\nprogress 1%\nprogress 3%\n"), std::string::npos);
        EXPECT_NE(run.out.find("\nprogress 98%\n" + line(msg::success)), std::string::npos);
    }
}

TEST(CommandLine, UpdateThroughATtyPathWritesTheShippedImage) {
    Simulator device({});
    ASSERT_TRUE(device.ready);
    auto run = runCli({"--port", device.link, "--speed", "low"}, 60s);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    auto flash = device.stopAndReadFlash();
    EXPECT_EQ(test::firstDifference(flash, test::expectedFlash(test::shippedImage(), 512000)), -1);
}

TEST(CommandLine, FastUpdateBehindAnAdapterLatencyWritesTheShippedImage) {
    Simulator device({"--latency", "16"});
    ASSERT_TRUE(device.ready);
    auto run = runCli({"--port", device.link, "--fast"}, 60s);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(line(msg::success)), std::string::npos);
    auto flash = device.stopAndReadFlash();
    EXPECT_EQ(test::firstDifference(flash, test::expectedFlash(test::shippedImage(), 512000)), -1);
}

TEST(CommandLine, DeviceFailureGoesToStandardErrorWithStatusOne) {
    Simulator device({"--fault", "erase=status:9"});
    ASSERT_TRUE(device.ready);
    auto run = runCli({"--port", device.link, "--speed", "low"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, line(msg::sectorCommandFailed));
    EXPECT_EQ(run.out.find(std::string(msg::success)), std::string::npos);
}

TEST(CommandLine, ComNameWithoutADeviceTellsTheUserWhatToCheck) {
    // COM99 stands for /dev/ttyAMA2, which a machine without such UARTs does not have.
    if (fs::exists("/dev/ttyAMA2")) {
        GTEST_SKIP() << "this machine has /dev/ttyAMA2, a real port";
    }
    auto run = runCli({"--port", "COM99"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, line(msg::noDevice));
}

TEST(CommandLine, UsageErrorsGiveAReasonAndTheUsageWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string reason; // a part of the reason that must be there
    };
    const std::string parts = " not in {196389,196387}";
    const std::vector<Case> wrong = {
        {{}, "one of --port, --simulate or --list-ports is required"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"--port", "COM1", "--speed", "medium"}, "medium"},
        {{"--simulate", "--part", "196388"}, "--part: 196388" + parts},
        {{"--simulate", "--part", "99999999999999999999"}, "99999999999999999999" + parts},
        {{"--simulate", "--part", "-196389"}, "-196389" + parts},
        {{"--port", "COM1", "--part", "196387"}, "--simulate"},
        {{"--port", "COM1", "--list-ports"}, "--list-ports"},
        {{"--port", "/etc/hostname"}, "not a serial device: /etc/hostname"},
        {{"--port", "/nonexistent/tty"}, "not a serial device: /nonexistent/tty"},
        // Numbers are decimal: not octal, not hexadecimal, no spaces or signs.
        {{"--port", "COM1", "--baud", "010"}, "--baud: 10 is not a rate"},
        {{"--port", "COM1", "--station", "--count", "0x10"}, "--count: 0x10: the number of"},
        {{"--port", "COM1", "--station", "--count", " 5"}, "--count:  5: the number of"},
        {{"--port", "COM1", "--station", "--count", "+3"}, "--count: +3: the number of"},
        {{"--port", "COM1", "--reset", "dtr"}, "dtr is not a wiring"},
        {{"--port", "COM1", "--after", "reset"}, "--after reset needs --reset"},
        {{"--port", "COM1", "--turbo", "--after", "stay"}, "--after stay with --turbo needs"},
        {{"--port", "COM1", "--station", "--reset", "dtr-rts"}, "--station excludes --reset"},
        {{"--port", "COM1", "--check", "--station"}, "--check excludes --station"},
        {{"--port", "COM1", "--check", "--after", "go"}, "--after go excludes --check"},
    };
    for (const auto& [args, reason] : wrong) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.back());
        auto run = runCli(args);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("sparwick-cli: ")) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("\nusage: sparwick-cli --port PORT"), std::string::npos) << run.err;
    }
}

TEST(CommandLine, BaudTakesTheBootLoadersRatesAloneAndNotBesideSpeed) {
    struct Wrong {
        std::vector<std::string> args;
        bool listsTheRates;
    };
    const Wrong wrong[] = {
        {{"--port", "COM1", "--baud", "1234"}, true},
        {{"--simulate", "--baud", "460800"}, true},
        {{"--port", "COM1", "--baud", "fast"}, true},
        {{"--port", "COM1", "--baud", "57600", "--speed", "low"}, false},
        {{"--list-ports", "--baud", "9600"}, false},
        // With --turbo the rate is the flasher's, and 57600 is not among them.
        {{"--port", "COM1", "--turbo", "--baud", "57600"}, false},
    };
    for (const Wrong& w : wrong) {
        SCOPED_TRACE(::testing::PrintToString(w.args));
        auto run = runCli(w.args);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("\nusage: sparwick-cli --port PORT"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("9600, 19200, 38400, 57600, 115200, 230400") != std::string::npos,
                  w.listsTheRates)
            << run.err;
    }
}

TEST(CommandLine, VersionAndHelp) {
    auto version = runCli({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "Brumetor Sparwick v3.2.0\n");
    auto help = runCli({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("--list-ports"), std::string::npos);
}

TEST(CommandLine, PortListNamesEachPortAndItsDevice) {
    // Over a directory of stand-in devices, never the machine's own.
    fs::path dir = scratch("dev");
    fs::create_directories(dir);
    test::FarEnd usb;
    fs::create_symlink(usb.devicePath(), dir / "ttyUSB0");
    setDeviceDirectory(dir);
    std::FILE* out = std::tmpfile();
    cli::printPortList(out);
    std::rewind(out);
    char text[256] = {};
    std::size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    setDeviceDirectory("/dev");
    fs::remove_all(dir);
    EXPECT_EQ(std::string(text, n), "COM33   " + (dir / "ttyUSB0").string() + "\n");
}

} // namespace
} // namespace sparwick
