// Every fault the simulated device can inject at every step of an update, at the low
// speed: each ends the update with one message that begins "Software upgrade failed." and
// names the step at which the host found the fault, within 2 s of it, with nothing of
// ours left open. One CTest case per step, its actions one after the other, so that the
// cases share the two cores and none waits on a process of its own.
//
// The device counts each step's exchanges over its life, so every case gets a device of
// its own, whose fault then falls on a known exchange; the same device, power-cycled,
// serves the follow-up update where one is checked.
#include "flash/UpdateMessages.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "sim/SimulatedDevice.h"
#include "tests/e2e/UpdateRun.h"
#include "tools/FirmwareGenerator.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace sparwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::FaultAction;
using sim::FaultStep;

constexpr const char* port = "COM2";
// Three blocks: the middle one has a block before and after it.
constexpr std::size_t imageSize = 2 * 4096 + 1;
// Long enough for any reply's time-out (1000 ms) and the clean-up after it, under the
// sanitizers and a busy machine; a hang lasts far longer.
constexpr auto endWithin = 2s;

// One step at one of its occurrences, and what the host says for each action there.
struct StepCase {
    const char* name;
    FaultStep step;
    std::uint32_t occurrence;
    // Silent, short, garbled or another status: the reply is wrong, the step fails.
    std::string_view ownMessage;
    // An extra byte passes this exchange and stays in the host's input: the next exchange
    // reads it first and fails. Empty when there is no next exchange (after go), so the
    // update succeeds.
    std::string_view afterExtra;
    // The device goes away before it answers.
    std::string_view afterHangUp = msg::couldNotCommunicate;
};

std::ostream& operator<<(std::ostream& out, const StepCase& c) {
    return out << c.name;
}

// Every action that applies to a step: RESEND is an answer to data lines only.
std::vector<sim::FaultRule> rulesFor(const StepCase& c) {
    std::vector<sim::FaultRule> rules;
    for (FaultAction action :
         {FaultAction::silent, FaultAction::truncate, FaultAction::garble, FaultAction::extra,
          FaultAction::status, FaultAction::resend, FaultAction::hangup}) {
        if (action == FaultAction::resend && c.step != FaultStep::dataChecksum) {
            continue;
        }
        // INVALID_COMMAND: a status this host never expects at any step.
        rules.push_back({c.step, c.occurrence, action, action == FaultAction::status ? 1u : 0u});
    }
    return rules;
}

std::string_view expectedMessage(const StepCase& c, FaultAction action) {
    switch (action) {
    case FaultAction::extra:
        return c.afterExtra;
    case FaultAction::hangup:
        return c.afterHangUp;
    default:
        return c.ownMessage;
    }
}

struct WatchedUpdate {
    test::UpdateOutcome outcome;
    bool faultUsed = false;
    Clock::duration afterFault{};
};

// Runs one update while a watcher notes when the device uses its fault.
WatchedUpdate runWatched(const sim::SimulatedDevice& device,
                         const std::vector<std::uint8_t>& image) {
    std::atomic<bool> done{false};
    std::optional<Clock::time_point> faultAt;
    std::thread watcher([&] {
        while (!done && !faultAt) {
            if (device.statistics().faultsUsed > 0) {
                faultAt = Clock::now();
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    WatchedUpdate watched;
    watched.outcome = test::runUpdate(port, false, &image);
    const auto end = Clock::now();
    done = true;
    watcher.join();
    watched.faultUsed = device.statistics().faultsUsed > 0;
    watched.afterFault = faultAt ? end - *faultAt : Clock::duration::zero();
    return watched;
}

// A loaded machine can hold the device back for longer than the host's one-second wait
// for a reply before the update has reached the fault's exchange: that run says nothing
// about the fault, so it is made again on a fresh device, a few times at most. A host
// that fails before the fault for a reason of its own fails the same way every time.
constexpr int runsToReachTheFault = 3;

struct FaultRun {
    std::unique_ptr<sim::SimulatedDevice> device;
    // Terminals open with the device there, before the update.
    std::size_t terminals = 0;
    WatchedUpdate watched;
};

FaultRun runToTheFault(const sim::DeviceOptions& options, const std::vector<std::uint8_t>& image) {
    FaultRun run;
    for (int attempt = 1;; ++attempt) {
        run.device.reset();
        run.device = std::make_unique<sim::SimulatedDevice>(options);
        standFor(port, run.device->path());
        run.terminals = test::openTerminalCount();
        run.watched = runWatched(*run.device, image);
        if (run.watched.faultUsed || attempt == runsToReachTheFault) {
            return run;
        }
    }
}

class FaultMatrix : public ::testing::TestWithParam<StepCase> {};

TEST_P(FaultMatrix, EveryActionEndsWithTheStepsMessageAtOnceAndLeavesNothingOpen) {
    const StepCase& c = GetParam();
    const auto image = tools::makeFirmwareImage(imageSize);
    bool followedUp = false;

    for (const sim::FaultRule& rule : rulesFor(c)) {
        const std::string name = sim::describeFaultRule(rule);
        SCOPED_TRACE(name);
        sim::DeviceOptions options;
        options.faults.push_back(rule);
        FaultRun run = runToTheFault(options, image);
        sim::SimulatedDevice& device = *run.device;
        const std::size_t terminals = run.terminals;
        const WatchedUpdate& watched = run.watched;
        const std::string_view expected = expectedMessage(c, rule.action);
        EXPECT_TRUE(watched.faultUsed);
        EXPECT_FALSE(watched.outcome.fatal);
        if (expected.empty()) {
            // go=extra: the reply the host reads is whole; the extra byte is never read.
            EXPECT_TRUE(watched.outcome.succeeded);
            EXPECT_EQ(watched.outcome.messages,
                      std::vector<std::string>{std::string(msg::success)});
        } else {
            EXPECT_FALSE(watched.outcome.succeeded);
            ASSERT_EQ(watched.outcome.messages.size(), 1u);
            EXPECT_TRUE(watched.outcome.messages[0].starts_with("Software upgrade failed."));
            EXPECT_EQ(watched.outcome.messages[0], expected);
            EXPECT_LT(watched.afterFault, endWithin);
        }
        EXPECT_FALSE(OsalSerialPort::instance().write("?", 1)); // the port is closed

        // An unplugged device comes back on a new pty behind the same link; counted once it
        // holds its pty again, none of ours is left open.
        auto stats = device.statistics();
        if (stats.hangUps > 0) {
            ASSERT_TRUE(device.waitUntilServing(5s, stats.ptyGeneration));
        }
        EXPECT_EQ(test::openTerminalCount(), terminals);

        // A sample of the follow-ups: the first case of each step, and every hang-up.
        if (!followedUp || rule.action == FaultAction::hangup) {
            followedUp = true;
            device.powerCycle();
            auto retried = test::runUpdate(port, false, &image);
            EXPECT_TRUE(retried.succeeded) << (retried.messages.empty() ? "" : retried.messages[0]);
            EXPECT_EQ(test::firstDifference(device.flash(), test::expectedFlash(image, 512000)),
                      -1);
        }
        forgetAllStandIns();
    }
}

// Counted over an update of three blocks: P is sent once for the whole flash and once per
// block, W, C and five checksum lines (92 data lines in groups of 20) per block.
INSTANTIATE_TEST_SUITE_P(
    EveryStep, FaultMatrix,
    ::testing::Values(
        // A failed or wrong first reply gets the long message that says what to check.
        StepCase{"sync", FaultStep::sync, 1, msg::noDevice, msg::syncFailure, msg::noDevice},
        StepCase{"syncWord", FaultStep::syncWord, 1, msg::syncFailure, msg::clockFailure},
        StepCase{"crystal", FaultStep::crystal, 1, msg::clockFailure, msg::echoFailure},
        StepCase{"echo", FaultStep::echo, 1, msg::echoFailure, msg::unlockFailure},
        StepCase{"unlock", FaultStep::unlock, 1, msg::unlockFailure, msg::partIdInvalid},
        StepCase{"partId", FaultStep::partId, 1, msg::partIdInvalid, msg::partIdInvalid},
        StepCase{"partIdAgain", FaultStep::partId, 2, msg::partIdInvalid, msg::sectorCommandFailed},
        StepCase{"prepareAll", FaultStep::prepare, 1, msg::sectorCommandFailed,
                 msg::sectorCommandFailed},
        StepCase{"erase", FaultStep::erase, 1, msg::sectorCommandFailed, msg::sectorCommandFailed},
        StepCase{"blankCheck", FaultStep::blankCheck, 1, msg::sectorCommandFailed,
                 msg::writeToRamFailed},
        StepCase{"write", FaultStep::write, 1, msg::writeToRamFailed, msg::checksumFailed},
        StepCase{"dataChecksum", FaultStep::dataChecksum, 1, msg::checksumFailed,
                 msg::checksumFailed},
        StepCase{"copy", FaultStep::copy, 1, msg::copyFailed, msg::writeToRamFailed},
        StepCase{"go", FaultStep::go, 1, msg::goFailed, ""},
        // The middle block.
        StepCase{"prepareMiddleBlock", FaultStep::prepare, 3, msg::sectorCommandFailed,
                 msg::copyFailed},
        StepCase{"writeMiddleBlock", FaultStep::write, 2, msg::writeToRamFailed,
                 msg::checksumFailed},
        StepCase{"lastChecksumOfMiddleBlock", FaultStep::dataChecksum, 10, msg::checksumFailed,
                 msg::sectorCommandFailed},
        StepCase{"copyMiddleBlock", FaultStep::copy, 2, msg::copyFailed, msg::writeToRamFailed},
        StepCase{"copyLastBlock", FaultStep::copy, 3, msg::copyFailed, msg::goFailed}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace sparwick
