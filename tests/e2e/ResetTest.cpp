// sparwick-cli --reset against a simulated board whose RESET and P0.14 follow the host's DTR
// and RTS through the pin bridge: hands-free updates whatever the board was doing, a board
// that misses a reset, code read protection, a port without modem lines, and Ctrl-C while
// the board is held in reset.
#include "flash/UpdateMessages.h"
#include "sim/BootLoaderConstants.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

const std::string cli = SPARWICK_CLI_PATH;
const std::string lpcsim = SPARWICK_LPCSIM_PATH;
const std::string bridge = SPARWICK_PIN_BRIDGE_PATH;

// The pin bridge loaded ahead of a sanitizer runtime, which otherwise insists on coming
// first.
const std::vector<std::string> bridged = {"LD_PRELOAD=" + bridge,
                                          "ASAN_OPTIONS=verify_asan_link_order=0"};

sim::PinWiring wiringOf(std::string_view text) {
    return {text.starts_with("dtr"), text.ends_with(",invert")};
}

std::vector<std::uint8_t> shippedFlash() {
    return test::expectedFlash(test::shippedImage(), 512000);
}

// Old firmware the board runs: eight zero vectors are valid code. With a protection word,
// at that level of code read protection.
std::vector<std::uint8_t> oldFirmware(std::uint32_t protection = 0) {
    std::vector<std::uint8_t> flash(sim::isp::crpWordAddress + 4, 0);
    for (int i = 0; i < 4; ++i) {
        flash[sim::isp::crpWordAddress + i] = static_cast<std::uint8_t>(protection >> (8 * i));
    }
    return flash;
}

struct Board {
    explicit Board(sim::DeviceOptions options)
        : device(std::move(options)) {}
    sim::DeviceStatistics stats() const { return device.statistics(); }
    sim::SimulatedDevice device;
};

sim::DeviceOptions wiredBoard(std::string_view wiring, std::vector<std::uint8_t> flash,
                              std::vector<std::string> faults = {}) {
    sim::DeviceOptions options;
    options.pins = wiringOf(wiring);
    options.bootUser = true;
    options.flash = std::move(flash);
    for (const std::string& fault : faults) {
        options.faults.push_back(*sim::parseFaultRule(fault));
    }
    return options;
}

test::ChildResult runCli(std::vector<std::string> args, std::vector<std::string> environment) {
    args.insert(args.begin(), cli);
    test::ChildSetup setup;
    setup.environment = std::move(environment);
    test::ChildProcess child(args, setup);
    return child.wait(60s);
}

// The board runs old firmware, the sim and the command line wired alike; the update resets
// it into ISP mode, and at its end into the new firmware.
class HandsFree : public testing::TestWithParam<const char*> {};

TEST_P(HandsFree, UpdatesARunningBoardAndStartsItsNewFirmwareByReset) {
    Board board(wiredBoard(GetParam(), oldFirmware()));
    ASSERT_TRUE(board.stats().runningFirmware);
    auto run = runCli({"--port", board.device.path(), "--reset", GetParam(), "--turbo"}, bridged);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(board.stats().runningFirmware);
    EXPECT_EQ(board.stats().pinResets, 2u);         // into ISP mode, into the firmware
    EXPECT_EQ(board.stats().commandCount('G'), 1u); // the flasher's; the firmware's is a reset
    EXPECT_EQ(board.device.flash(), shippedFlash());
}

INSTANTIATE_TEST_SUITE_P(Wirings, HandsFree,
                         testing::Values("dtr-rts", "rts-dtr", "dtr-rts,invert"));

// The board missed the first reset: it is reset again.
TEST(Reset, ABoardSilentAfterTheFirstResetIsResetAgain) {
    Board board(wiredBoard("dtr-rts", oldFirmware(), {"sync#1=silent"}));
    auto run =
        runCli({"--port", board.device.path(), "--reset", "dtr-rts", "--turbo", "--after", "stay"},
               bridged);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(board.stats().pinResets, 3u); // twice into ISP mode, once out of the flasher
    EXPECT_FALSE(board.stats().runningFirmware);
}

TEST(Reset, APortWithoutModemLinesIsAUsageErrorBeforeAnyByteIsSent) {
    sim::DeviceOptions plain; // no --pins and no bridge: a pty's lines are not there
    Board board(plain);
    auto run = runCli({"--port", board.device.path(), "--reset", "dtr-rts"}, {});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find(board.device.path() + ")" + std::string(msg::noModemLines)),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(board.stats().synchronized);
}

TEST(Reset, CtrlCWhileTheBoardIsHeldInResetLetsItGo) {
    Board board(wiredBoard("dtr-rts", oldFirmware()));
    test::ChildSetup setup;
    setup.environment = bridged;
    test::ChildProcess child(
        {cli, "--port", board.device.path(), "--reset", "dtr-rts", "--reset-hold", "5000"}, setup);
    ASSERT_TRUE(test::eventually([&] { return board.stats().resetHeld; }, 10s));
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10s).exitStatus, 130);
    EXPECT_FALSE(board.stats().resetHeld);
    EXPECT_FALSE(board.stats().ispPinLow);
    EXPECT_TRUE(board.stats().runningFirmware);
}

// The flasher fails three times over on its first block and is left running in RAM; the
// next run resets the board into its boot loader, with no power cycle.
TEST(Reset, ATurboFailureIsRecoveredByTheNextRunWithoutAPowerCycle) {
    Board board(
        wiredBoard("dtr-rts", oldFirmware(),
                   {"flasher-block#1=garble", "flasher-block#2=garble", "flasher-block#3=garble"}));
    const std::vector<std::string> args = {"--port", board.device.path(), "--reset", "dtr-rts",
                                           "--turbo"};
    auto failed = runCli(args, bridged);
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_NE(failed.err.find(msg::resetRecovery), std::string::npos) << failed.err;
    auto again = runCli(args, bridged);
    EXPECT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_EQ(board.device.flash(), shippedFlash());
    EXPECT_TRUE(board.stats().runningFirmware);
    EXPECT_EQ(board.stats().powerCycles, 0u);
}

// A board at the first level of code read protection: with --reset the update erases it,
// resets it and goes on; without, the flasher names what refused it.
TEST(Reset, CodeReadProtectionIsErasedWithResetAndNamedWithout) {
    struct Case {
        std::vector<std::string> options;
        int exitStatus;
    };
    for (const Case& c : std::vector<Case>{
             {{"--reset", "dtr-rts", "--fast"}, 0},
             {{"--reset", "dtr-rts", "--turbo"}, 0},
             {{"--turbo"}, 1},
         }) {
        auto options = wiredBoard("dtr-rts", oldFirmware(sim::isp::crpWords[0]));
        options.bootUser = c.exitStatus == 0; // without --reset put into ISP mode by hand
        Board board(std::move(options));
        std::vector<std::string> args = {"--port", board.device.path()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto run = runCli(args, bridged);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.options.back() << run.err;
        if (c.exitStatus == 0) {
            EXPECT_EQ(board.device.flash(), shippedFlash()) << c.options.back();
            EXPECT_TRUE(board.stats().runningFirmware) << c.options.back();
        } else {
            EXPECT_NE(run.err.find("code read protection"), std::string::npos) << run.err;
        }
    }
}

// A hands-free check: the board is reset into ISP mode, checked, and left running its
// firmware or waiting in its boot loader; a protected board is named, not erased.
TEST(Reset, ACheckResetsTheBoardInAndOutAndWritesNothing) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::uint8_t> flash;
        int exitStatus;
        std::string says;
        bool runsFirmware;
        std::uint32_t resets;
    };
    const std::vector<Case> cases{
        {{"--turbo"}, shippedFlash(), 0, "current: ", true, 2},
        {{"--turbo", "--after", "stay"}, shippedFlash(), 0, "current: ", false, 2},
        {{},
         test::expectedFlash(oldFirmware(sim::isp::crpWords[0]), 512000),
         1,
         "code read protection refuses the check",
         false,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says + (c.options.empty() ? "" : c.options.back()));
        Board board(wiredBoard("dtr-rts", c.flash));
        std::vector<std::string> args = {"--port", board.device.path(), "--check", "--reset",
                                         "dtr-rts"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto run = runCli(args, bridged);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
        EXPECT_EQ(board.stats().runningFirmware, c.runsFirmware);
        EXPECT_EQ(board.stats().pinResets, c.resets);
        EXPECT_EQ(board.device.flash(), c.flash);
    }
}

// lpcsim as a user runs it: the bridge it names reaches it, and its log shows the pins.
TEST(Reset, LpcsimNamesTheBridgeAndLogsEveryPinChange) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("sparwick-reset-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream firmware(dir / "old.bin", std::ios::binary);
        const auto old = oldFirmware();
        firmware.write(reinterpret_cast<const char*>(old.data()),
                       static_cast<std::streamsize>(old.size()));
    }
    test::BackgroundProcess sim({lpcsim, "--link", (dir / "tty").string(), "--pins", "rts-dtr",
                                 "--boot", "user", "--flash-in", (dir / "old.bin").string(),
                                 "--log", (dir / "log").string(), "--exit-after-go"});
    ASSERT_EQ(sim.readLine(10s), "ready " + (dir / "tty").string());
    const std::string preload = sim.readLine(10s);
    ASSERT_EQ(preload, "preload " + bridge);
    auto run = runCli(
        {"--port", (dir / "tty").string(), "--reset", "rts-dtr", "--fast", "--baud", "230400"},
        {"LD_PRELOAD=" + preload.substr(8), "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(sim.stop(10s), 0);
    std::ifstream logFile(dir / "log");
    const std::string log{std::istreambuf_iterator<char>(logFile), {}};
    std::size_t at = 0;
    for (const char* step : {"the part runs its firmware", "pins: RESET low, P0.14 low",
                             "pins: RESET high, P0.14 low", "enters its boot loader (P0.14 low)",
                             "pins: RESET high, P0.14 high", "pins: RESET low, P0.14 high",
                             "pins: RESET high, P0.14 high", "the part runs its firmware"}) {
        at = log.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << log;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace sparwick
