#include "DeviceTest.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace sparwick::sim::test {
namespace {

constexpr std::uint32_t ramBuffer = 0x40000200;
const std::string ram = std::to_string(ramBuffer);

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

class DeviceFlashRulesTest : public DeviceTest {};

TEST_F(DeviceFlashRulesTest, CopyAndEraseNeedAPrepareAndConsumeIt) {
    startUnlocked();
    const std::vector<std::uint8_t> data = pattern(256, 1);
    ASSERT_TRUE(writeToRam(*client, ramBuffer, data));
    EXPECT_EQ(command("C 4096 " + ram + " 256", "9\r\n"), "9\r\n");
    EXPECT_EQ(command("E 1 1", "9\r\n"), "9\r\n");
    EXPECT_EQ(device->flash()[4096], 0xFF);

    EXPECT_EQ(command("P 1 1", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("C 4096 " + ram + " 256", "0\r\n"), "0\r\n");
    // The copy protected the sector again.
    EXPECT_EQ(command("C 4352 " + ram + " 256", "9\r\n"), "9\r\n");
    EXPECT_EQ(command("E 1 1", "9\r\n"), "9\r\n");
    const auto flash = device->flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 4096));

    EXPECT_EQ(command("P 0 2", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 1 1", "0\r\n"), "0\r\n");
    // Sectors 0 and 2 are still prepared; 1 is not.
    EXPECT_EQ(command("E 0 2", "9\r\n"), "9\r\n");
    EXPECT_EQ(command("E 2 2", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("I 1 2", "0\r\n"), "0\r\n");
}

TEST_F(DeviceFlashRulesTest, ACopyAcrossTwoSectorsNeedsBothPrepared) {
    startUnlocked();
    ASSERT_TRUE(writeToRam(*client, ramBuffer, pattern(4096, 3)));
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("C 2048 " + ram + " 4096", "9\r\n"), "9\r\n");
    EXPECT_EQ(command("P 1 1", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("C 2048 " + ram + " 4096", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("C 0 " + ram + " 256", "9\r\n"), "9\r\n");
}

TEST_F(DeviceFlashRulesTest, ProgrammingOverWrittenFlashOnlyClearsBits) {
    std::vector<std::uint8_t> initial(8192, 0xFF);
    std::fill(initial.begin() + 4096, initial.begin() + 4096 + 256, 0xF0);
    DeviceOptions options;
    options.flash = initial;
    startUnlocked(options);
    const std::vector<std::uint8_t> data(256, 0x3C);
    ASSERT_TRUE(writeToRam(*client, ramBuffer, data));
    EXPECT_EQ(command("P 1 1", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("C 4096 " + ram + " 256", "0\r\n"), "0\r\n");
    const auto flash = device->flash();
    EXPECT_EQ(flash[4096], 0x30);
    EXPECT_EQ(flash[4096 + 255], 0x30);
    EXPECT_EQ(flash[4096 + 256], 0xFF);
}

TEST_F(DeviceFlashRulesTest, BlankCheckReportsTheFirstNonBlankWordOfTheRange) {
    std::vector<std::uint8_t> initial(0x9000, 0xFF);
    // Sector 2 (0x2000) holds a word at 0x2010; sector 8 (0x8000, 32 KB) one at 0x8FFC.
    initial[0x2012] = 0x7F;
    initial[0x8FFC] = 0x01;
    initial[0x8FFD] = 0x02;
    initial[0x8FFE] = 0x03;
    initial[0x8FFF] = 0x04;
    DeviceOptions options;
    options.flash = initial;
    startUnlocked(options);
    EXPECT_EQ(command("I 0 1", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("I 1 26", "8\r\n8208\r\n4286578687\r\n"), "8\r\n8208\r\n4286578687\r\n");
    EXPECT_EQ(command("I 3 26", "8\r\n36860\r\n67305985\r\n"), "8\r\n36860\r\n67305985\r\n");
    EXPECT_EQ(command("I 9 26", "0\r\n"), "0\r\n");

    EXPECT_EQ(command("P 2 8", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 2 8", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("I 0 26", "0\r\n"), "0\r\n");
    EXPECT_EQ(device->flash(), std::vector<std::uint8_t>(512000, 0xFF));
}

TEST_F(DeviceFlashRulesTest, EraseCoversWholeSectorsOfEachSize) {
    DeviceOptions options;
    options.flash = std::vector<std::uint8_t>(512000, 0x00);
    startUnlocked(options);
    // Sector 7 is the last 4 KB one, 8 the first 32 KB one, 22 the first of the top 4 KB.
    EXPECT_EQ(command("P 7 8", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 7 8", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("P 22 22", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 22 22", "0\r\n"), "0\r\n");
    const auto flash = device->flash();
    EXPECT_EQ(flash[0x6FFF], 0x00);
    EXPECT_TRUE(std::all_of(flash.begin() + 0x7000, flash.begin() + 0x10000,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(flash[0x10000], 0x00);
    EXPECT_EQ(flash[0x77FFF], 0x00);
    EXPECT_TRUE(std::all_of(flash.begin() + 0x78000, flash.begin() + 0x79000,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(flash[0x79000], 0x00);
    EXPECT_EQ(command("I 8 8", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("I 8 9", "8\r\n65536\r\n0\r\n"), "8\r\n65536\r\n0\r\n");
}

TEST_F(DeviceFlashRulesTest, ThePowerOnContentsAndTheReportOfValidUserCode) {
    // Eight vector words that sum to 0 modulo 2^32.
    std::vector<std::uint8_t> vectors(32, 0);
    const std::uint32_t words[8] = {0xEA000006, 0xE59FF018, 0xE59FF018, 0xE59FF018,
                                    0xE59FF018, 0,          0xE59FF018, 0xE59FF018};
    std::uint32_t sum = std::accumulate(std::begin(words), std::end(words), 0u);
    std::uint32_t fixed[8];
    std::copy(std::begin(words), std::end(words), fixed);
    fixed[5] = 0u - sum;
    for (int w = 0; w < 8; ++w) {
        for (int b = 0; b < 4; ++b) {
            vectors[static_cast<std::size_t>(w * 4 + b)] =
                static_cast<std::uint8_t>(fixed[w] >> (8 * b));
        }
    }
    DeviceOptions options;
    options.flash = vectors;
    startUnlocked(options);
    EXPECT_TRUE(std::equal(vectors.begin(), vectors.end(), device->flash().begin()));
    EXPECT_EQ(command("G 0 A", "0\r\n"), "0\r\n");
    EXPECT_TRUE(device->wentToUserCode());
    EXPECT_TRUE(device->userCodeValid());
    // Running user code: no more ISP.
    EXPECT_EQ(client->collect("J\r\n"), "");

    device->powerCycle();
    EXPECT_FALSE(device->wentToUserCode());
    client->synchronize();
    client->unlock();
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    ASSERT_TRUE(writeToRam(*client, ramBuffer, std::vector<std::uint8_t>(256, 0x00)));
    EXPECT_EQ(command("C 0 " + ram + " 256", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("G 0 A", "0\r\n"), "0\r\n");
    // All zeros sum to 0 as well.
    EXPECT_TRUE(device->userCodeValid());

    device->powerCycle();
    client->synchronize();
    client->unlock();
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 0 0", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("G 0 A", "0\r\n"), "0\r\n");
    EXPECT_FALSE(device->userCodeValid());
}

TEST_F(DeviceFlashRulesTest, RefusesFlashContentsLargerThanThePart) {
    DeviceOptions options;
    options.partId = 196387;
    options.flash = std::vector<std::uint8_t>(262145, 0);
    EXPECT_THROW(start(options), std::invalid_argument);
    options.partId = 4711;
    options.flash.clear();
    EXPECT_THROW(start(options), std::invalid_argument);
}

TEST_F(DeviceFlashRulesTest, DataLeftInTheBootLoadersWorkAreasDoesNotSurvive) {
    startUnlocked();
    const std::vector<std::uint8_t> data = pattern(512, 9);
    // 0x40000100 to 0x40000300 overlaps the boot loader's variables (0x40000120..0x400001FF).
    ASSERT_TRUE(writeToRam(*client, 0x40000100, data));
    EXPECT_EQ(command("P 0 0", "0\r\n"), "0\r\n");
    const std::vector<std::uint8_t> back = readMemory(*client, 0x40000100, 512);
    ASSERT_EQ(back.size(), 512u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 0x20, back.begin()));
    EXPECT_FALSE(std::equal(data.begin() + 0x20, data.begin() + 0x100, back.begin() + 0x20));
    EXPECT_TRUE(std::equal(data.begin() + 0x100, data.end(), back.begin() + 0x100));
}

TEST_F(DeviceFlashRulesTest, ReadAndCompareShowTheBootBlocksVectorsOverTheFirst64Bytes) {
    DeviceOptions options;
    options.flash = pattern(128, 3);
    startUnlocked(options);
    std::vector<std::uint8_t> boot;
    for (const std::uint32_t word : isp::bootVectors) {
        for (int b = 0; b < 4; ++b) {
            boot.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
        }
    }
    EXPECT_EQ(readMemory(*client, 0, 64), boot);
    // A read across the end of the vectors meets the flash's own bytes after them.
    std::vector<std::uint8_t> across(boot.end() - 4, boot.end());
    across.insert(across.end(), options.flash.begin() + 64, options.flash.begin() + 68);
    EXPECT_EQ(readMemory(*client, 60, 8), across);
    // M compares against the vectors too: RAM holding them is equal to flash address 0.
    ASSERT_TRUE(writeToRam(*client, ramBuffer, boot));
    EXPECT_EQ(command("M 0 " + ram + " 64", "0\r\n"), "0\r\n");
    // Underneath, the flash keeps what it holds.
    EXPECT_TRUE(std::equal(options.flash.begin(), options.flash.end(), device->flash().begin()));
}

} // namespace
} // namespace sparwick::sim::test
