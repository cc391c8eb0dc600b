#include "DeviceTest.h"

#include <vector>

namespace sparwick::sim::test {
namespace {

constexpr std::uint32_t ramBase = 0x40000000;
constexpr std::uint32_t ramBuffer = 0x40000200;

struct Case {
    std::string line;
    std::string reply;
};

class DeviceCommandsTest : public DeviceTest {
protected:
    void expectReplies(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            EXPECT_EQ(command(c.line, c.reply), c.reply) << c.line;
        }
    }
};

TEST_F(DeviceCommandsTest, FlashWriteEraseAndGoAreLockedUntilUnlock) {
    start();
    client->synchronize();
    expectReplies({
        {"P 0 0", "0\r\n"},
        {"E 0 0", "15\r\n"},
        {"C 0 " + std::to_string(ramBuffer) + " 256", "15\r\n"},
        {"G 0 A", "15\r\n"},
        // Not locked: they change no flash.
        {"I 0 0", "0\r\n"},
        {"J", "0\r\n196389\r\n"},
        {"W " + std::to_string(ramBuffer) + " 0", "0\r\n"},
        {"M 0 0 4", "0\r\n"},
    });
    EXPECT_FALSE(device->wentToUserCode());
    client->unlock();
    EXPECT_EQ(command("E 0 0", "0\r\n"), "0\r\n");
}

// The commands each level of code read protection refuses with 19, as the manuals' tables
// give them; what a level allows answers as without protection.
TEST_F(DeviceCommandsTest, CodeReadProtectionRefusesWhatItsLevelForbids) {
    const std::string ram = std::to_string(ramBuffer);
    struct Level {
        std::uint32_t word;
        std::vector<Case> replies;
    };
    const std::vector<Level> levels = {
        {0x12345678,
         {{"R 0 4", "19\r\n"},
          {"M 0 4096 4", "19\r\n"},
          {"I 1 1", "19\r\n"},
          {"G 0 A", "19\r\n"},
          {"W " + std::to_string(ramBase + 0x100) + " 4", "19\r\n"},
          {"W " + ram + " 0", "0\r\n"},
          {"P 0 26", "0\r\n"},
          {"C 0 " + ram + " 256", "19\r\n"},
          {"E 0 0", "19\r\n"},
          {"E 1 1", "0\r\n"},
          {"J", "0\r\n196389\r\n"}}},
        {0x87654321,
         {{"W " + ram + " 0", "19\r\n"},
          {"P 0 26", "0\r\n"},
          {"C 4096 " + ram + " 256", "19\r\n"},
          {"E 1 1", "19\r\n"},
          {"E 0 26", "0\r\n"}}},
    };
    for (const Level& level : levels) {
        DeviceOptions options;
        options.flash.assign(0x200, 0);
        for (int i = 0; i < 4; ++i) {
            options.flash[0x1FC + i] = static_cast<std::uint8_t>(level.word >> (8 * i));
        }
        startUnlocked(options);
        expectReplies(level.replies);
    }
}

TEST_F(DeviceCommandsTest, ChecksTheArgumentsOfWriteToRam) {
    startUnlocked();
    expectReplies({
        {"W " + std::to_string(ramBuffer + 2) + " 4", "13\r\n"},
        {"W " + std::to_string(ramBuffer) + " 6", "6\r\n"},
        {"W 0 4", "14\r\n"},
        {"W " + std::to_string(ramBase - 4) + " 4", "14\r\n"},
        {"W " + std::to_string(ramBase + 32 * 1024 - 4) + " 8", "14\r\n"},
        {"W 4294967292 4", "14\r\n"},
        {"W " + std::to_string(ramBuffer), "12\r\n"},
        {"W " + std::to_string(ramBuffer) + " 4 4", "12\r\n"},
        {"W 0x40000200 4", "12\r\n"},
        {"W 4294967296 4", "12\r\n"},
    });
}

TEST_F(DeviceCommandsTest, ChecksTheArgumentsOfReadAndCompare) {
    startUnlocked();
    expectReplies({
        {"R 2 4", "13\r\n"},
        {"R 0 3", "6\r\n"},
        {"R 512000 4", "14\r\n"},
        {"R 511996 8", "14\r\n"},
        {"R 0", "12\r\n"},
        {"R 0 0", "0\r\n"},
        {"M 0 2 4", "13\r\n"},
        {"M 0 4 5", "6\r\n"},
        {"M 0 512000 4", "14\r\n"},
        {"M 0 4", "12\r\n"},
        {"M 4096 8192 4096", "0\r\n"},
    });
}

TEST_F(DeviceCommandsTest, ChecksTheArgumentsOfCopyInTheManualsOrder) {
    startUnlocked();
    const std::string ram = std::to_string(ramBuffer);
    expectReplies({
        {"P 0 26", "0\r\n"},
        {"C 0 " + std::to_string(ramBuffer + 2) + " 256", "2\r\n"},
        {"C 128 " + ram + " 256", "3\r\n"},
        {"C 0 " + ram + " 128", "6\r\n"},
        {"C 0 " + ram + " 2048", "6\r\n"},
        {"C 0 0 256", "4\r\n"},
        {"C 0 " + std::to_string(ramBase + 32 * 1024 - 256) + " 512", "4\r\n"},
        {"C 512000 " + ram + " 256", "5\r\n"},
        {"C 509952 " + ram + " 4096", "5\r\n"},
        {"C 0 " + ram, "12\r\n"},
    });
    for (const std::uint32_t count : {256u, 512u, 1024u, 4096u}) {
        EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
        EXPECT_EQ(command("C 0 " + ram + " " + std::to_string(count), "0\r\n"), "0\r\n") << count;
    }
}

TEST_F(DeviceCommandsTest, ChecksSectorNumbersAgainstThePart) {
    DeviceOptions options;
    options.partId = 196387;
    startUnlocked(options);
    expectReplies({
        {"P 0 14", "0\r\n"},
        {"P 0 15", "7\r\n"},
        {"P 15 15", "7\r\n"},
        {"P 5 4", "7\r\n"},
        {"P 0", "12\r\n"},
        {"P a b", "12\r\n"},
        {"E 0 15", "7\r\n"},
        {"I 14 15", "7\r\n"},
        {"I 4 3", "7\r\n"},
        {"E 0 14", "0\r\n"},
        {"I 0 14", "0\r\n"},
    });
}

TEST_F(DeviceCommandsTest, RefusesTheBootBlockOfTheLargerPart) {
    startUnlocked();
    expectReplies({{"P 26 26", "0\r\n"}, {"P 27 27", "7\r\n"}, {"I 0 27", "7\r\n"}});
}

TEST_F(DeviceCommandsTest, ChecksTheArgumentsOfGo) {
    startUnlocked();
    expectReplies({
        {"G 0", "12\r\n"},
        {"G 0 X", "12\r\n"},
        {"G 0 a", "12\r\n"},
        {"G 0 AA", "12\r\n"},
        {"G 2 A", "13\r\n"},
        {"G 512000 A", "14\r\n"},
        {"G 1048576 T", "14\r\n"},
    });
    EXPECT_FALSE(device->wentToUserCode());
    EXPECT_EQ(command("G " + std::to_string(ramBuffer) + " T", "0\r\n"), "0\r\n");
    ASSERT_TRUE(device->userCode().has_value());
    EXPECT_EQ(device->userCode()->address, ramBuffer);
    EXPECT_TRUE(device->userCode()->thumbMode);
}

} // namespace
} // namespace sparwick::sim::test
