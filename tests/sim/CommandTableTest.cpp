// The boot loader's command set is one table: each letter once, each fault step named by
// exactly one exchange, and the table's form of the arguments what the manuals give.
#include "sim/BootLoader.h"
#include "sim/BootLoaderConstants.h"
#include "sim/FaultRule.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace sparwick::sim::test {
namespace {

// The exchanges that are not a command's reply: the handshake, and the lines of the two
// transfers.
const std::set<FaultStep> lineSteps = {FaultStep::sync,         FaultStep::syncWord,
                                       FaultStep::crystal,      FaultStep::dataChecksum,
                                       FaultStep::readChecksum, FaultStep::dataLine};

TEST(CommandTable, HoldsEachCommandOnceWithAHandler) {
    const auto table = BootLoader::commandTable();
    std::string letters;
    for (const BootLoader::Command& command : table) {
        letters += command.letter;
        EXPECT_TRUE(command.handler != nullptr) << command.letter;
        EXPECT_LE(command.numbers, BootLoader::Arguments::maxNumbers) << command.letter;
    }
    std::sort(letters.begin(), letters.end());
    EXPECT_EQ(letters, "ABCEGIJKMPRUW");
}

TEST(CommandTable, EveryFaultStepBelongsToExactlyOneExchange) {
    std::multiset<FaultStep> named(lineSteps.begin(), lineSteps.end());
    for (const BootLoader::Command& command : BootLoader::commandTable()) {
        if (command.faultStep) {
            named.insert(*command.faultStep);
        }
    }
    for (int step = 0; step <= static_cast<int>(FaultStep::dataLine); ++step) {
        EXPECT_EQ(named.count(static_cast<FaultStep>(step)), 1u)
            << faultStepName(static_cast<FaultStep>(step));
    }
    EXPECT_EQ(named.size(), static_cast<std::size_t>(FaultStep::dataLine) + 1);
}

TEST(CommandTable, OnlyTheFlashChangingCommandsAndGoWaitForTheUnlock) {
    std::string locked;
    for (const BootLoader::Command& command : BootLoader::commandTable()) {
        if (command.needsUnlock) {
            locked += command.letter;
        }
        // Only G takes a mode letter, after its address.
        EXPECT_EQ(command.modeLetter, command.letter == isp::goCommand) << command.letter;
    }
    std::sort(locked.begin(), locked.end());
    EXPECT_EQ(locked, "CEG");
}

} // namespace
} // namespace sparwick::sim::test
