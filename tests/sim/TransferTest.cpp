#include "DeviceTest.h"

#include <random>
#include <vector>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t ramBuffer = 0x40000200;
const std::string ram = std::to_string(ramBuffer);

std::vector<std::uint8_t> randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(generator());
    }
    return bytes;
}

std::string lines(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = from + i * 45;
        text += TestUuencoder::encodeLine(std::span(data).subspan(offset, 45)) + "\r\n";
    }
    return text;
}

std::string sumLine(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t size) {
    return std::to_string(TestUuencoder::sum(std::span(data).subspan(from, size))) + "\r\n";
}

class DeviceTransferTest : public DeviceTest {};

TEST_F(DeviceTransferTest, WritesInGroupsOfTwentyLinesEachConfirmedByItsChecksum) {
    startUnlocked();
    // 4140 bytes: 92 full lines, checksums after lines 20, 40, 60, 80 and 92.
    const std::vector<std::uint8_t> data = randomBytes(4140, 1);
    EXPECT_EQ(command("W " + ram + " 4140", "0\r\n"), "0\r\n");
    for (std::size_t group = 0; group < 5; ++group) {
        const std::size_t count = group < 4 ? 20 : 12;
        client->send(lines(data, group * 900, count));
        EXPECT_EQ(client->collect("", 30ms), "") << "no reply to data lines";
        EXPECT_EQ(client->exchange(sumLine(data, group * 900, count * 45), "OK\r\n"), "OK\r\n");
    }
    // The transfer is over: the next line is a command again.
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
    EXPECT_EQ(readMemory(*client, ramBuffer, 4140), data);
}

TEST_F(DeviceTransferTest, AsksForAGroupAgainWhenItsChecksumDoesNotMatch) {
    startUnlocked();
    const std::vector<std::uint8_t> data = randomBytes(900, 2);
    EXPECT_EQ(command("W " + ram + " 900", "0\r\n"), "0\r\n");
    std::vector<std::uint8_t> damaged = data;
    damaged[100] ^= 0x40;
    client->send(lines(damaged, 0, 20));
    EXPECT_EQ(client->exchange(sumLine(data, 0, 900), "RESEND\r\n"), "RESEND\r\n");
    // A line that is no uuencoding at all spoils its group as well.
    client->send(lines(data, 0, 19) + "M this is not uuencoded\r\n");
    EXPECT_EQ(client->exchange(sumLine(data, 0, 900), "RESEND\r\n"), "RESEND\r\n");
    client->send(lines(data, 0, 20));
    EXPECT_EQ(client->exchange("not a number\r\n", "RESEND\r\n"), "RESEND\r\n");
    client->send(lines(data, 0, 20));
    EXPECT_EQ(client->exchange(sumLine(data, 0, 900), "OK\r\n"), "OK\r\n");
    EXPECT_EQ(readMemory(*client, ramBuffer, 900), data);
    EXPECT_EQ(device->statistics().resendsSent, 3u);
}

TEST_F(DeviceTransferTest, ShortLinesAndAShortLastLine) {
    startUnlocked();
    const std::vector<std::uint8_t> data = randomBytes(100, 3);
    EXPECT_EQ(command("W " + ram + " 100", "0\r\n"), "0\r\n");
    std::string text;
    for (std::size_t offset = 0; offset < 100; offset += 12) {
        const std::size_t length = std::min<std::size_t>(12, 100 - offset);
        text += TestUuencoder::encodeLine(std::span(data).subspan(offset, length)) + "\r\n";
    }
    client->send(text);
    EXPECT_EQ(client->exchange(sumLine(data, 0, 100), "OK\r\n"), "OK\r\n");
    EXPECT_EQ(readMemory(*client, ramBuffer, 100), data);
}

TEST_F(DeviceTransferTest, FullLinesPastTheCountAreSummedButNotStored) {
    startUnlocked();
    const std::vector<std::uint8_t> before = randomBytes(140, 4);
    ASSERT_TRUE(writeToRam(*client, ramBuffer, before));
    const std::vector<std::uint8_t> data = randomBytes(135, 5);
    // 100 bytes announced, three full lines of 45 sent, as a host with fixed lines does.
    EXPECT_EQ(command("W " + ram + " 100", "0\r\n"), "0\r\n");
    client->send(lines(data, 0, 3));
    EXPECT_EQ(client->exchange(sumLine(data, 0, 135), "OK\r\n"), "OK\r\n");
    std::vector<std::uint8_t> expected(data.begin(), data.begin() + 100);
    expected.insert(expected.end(), before.begin() + 100, before.end());
    EXPECT_EQ(readMemory(*client, ramBuffer, 140), expected);
}

TEST_F(DeviceTransferTest, ReadSendsAGroupAgainOnResend) {
    const std::vector<std::uint8_t> data = randomBytes(1000, 6);
    DeviceOptions options;
    // Past the boot block's vectors, which R shows over the first 64 bytes.
    options.flash.assign(64, 0xFF);
    options.flash.insert(options.flash.end(), data.begin(), data.end());
    startUnlocked(options);
    const std::string first = client->collect("R 64 1000\r\n");
    ASSERT_EQ(first.substr(0, 3), "0\r\n");
    // 20 lines of 45 bytes and their checksum, then the device waits.
    const std::string group = first.substr(3);
    EXPECT_EQ(group.substr(0, 63), TestUuencoder::encodeLine(std::span(data).first(45)) + "\r\n");
    EXPECT_EQ(group.substr(20 * 63), sumLine(data, 0, 900));
    EXPECT_EQ(client->exchange("RESEND\r\n", group), group);
    const std::string last = client->collect("OK\r\n");
    EXPECT_EQ(last, TestUuencoder::encodeLine(std::span(data).subspan(900, 45)) + "\r\n" +
                        TestUuencoder::encodeLine(std::span(data).subspan(945, 45)) + "\r\n" +
                        TestUuencoder::encodeLine(std::span(data).subspan(990, 10)) + "\r\n" +
                        sumLine(data, 900, 100));
    client->send("OK\r\n");
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");
}

TEST_F(DeviceTransferTest, EscapeAbandonsATransferInEitherDirection) {
    startUnlocked();
    const std::vector<std::uint8_t> data = randomBytes(900, 7);
    EXPECT_EQ(command("W " + ram + " 900", "0\r\n"), "0\r\n");
    client->send(lines(data, 0, 5) + "M12");
    client->send("\x1b");
    EXPECT_EQ(command("J", "0\r\n196389\r\n"), "0\r\n196389\r\n");

    EXPECT_FALSE(client->collect("R 0 4096\r\n").empty());
    client->send("\x1b");
    EXPECT_EQ(command("K", "0\r\n12\r\n2\r\n"), "0\r\n12\r\n2\r\n");
}

TEST_F(DeviceTransferTest, EchoesDataLinesAndChecksumsWhileEchoIsOn) {
    start();
    client->synchronize(false);
    client->exchange("U 23130\r\n", "U 23130\r\n0\r\n");
    const std::vector<std::uint8_t> data = randomBytes(44, 8);
    const std::string w = "W " + ram + " 44\r\n";
    EXPECT_EQ(client->exchange(w, w + "0\r\n"), w + "0\r\n");
    const std::string line = TestUuencoder::encodeLine(data) + "\r\n";
    EXPECT_EQ(client->exchange(line, line), line);
    const std::string sum = sumLine(data, 0, 44);
    EXPECT_EQ(client->exchange(sum, sum + "OK\r\n"), sum + "OK\r\n");
}

// The whole path an image takes: W into RAM, P and C block by block, then R and the dump.
TEST_F(DeviceTransferTest, AnImageWrittenThroughWriteAndCopyComesBackUnchanged) {
    startUnlocked();
    constexpr std::uint32_t imageSize = 64 * 1024;
    const std::vector<std::uint8_t> image = randomBytes(imageSize, 9);
    EXPECT_EQ(command("P 0 26", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("E 0 26", "0\r\n"), "0\r\n");
    EXPECT_EQ(command("I 0 26", "0\r\n"), "0\r\n");
    for (std::uint32_t offset = 0; offset < imageSize; offset += 4096) {
        ASSERT_TRUE(writeToRam(*client, ramBuffer, std::span(image).subspan(offset, 4096)));
        const std::uint32_t sector =
            offset < 0x8000 ? offset / 4096 : 8 + (offset - 0x8000) / 0x8000;
        const std::string s = std::to_string(sector);
        ASSERT_EQ(command("P " + s + " " + s, "0\r\n"), "0\r\n");
        ASSERT_EQ(command("C " + std::to_string(offset) + " " + ram + " 4096", "0\r\n"), "0\r\n")
            << offset;
    }
    // Beyond the boot block's vectors R shows what was written.
    EXPECT_EQ(readMemory(*client, 64, imageSize - 64),
              std::vector<std::uint8_t>(image.begin() + 64, image.end()));
    const std::vector<std::uint8_t> flash = device->flash();
    ASSERT_EQ(flash.size(), 512000u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + imageSize, flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    // RAM still holds the last block: compared with the second, they part at the first
    // differing byte.
    const auto second = image.begin() + 4096;
    const auto mismatch = std::mismatch(second, second + 4096, image.end() - 4096);
    const std::string differ = "10\r\n" + std::to_string(mismatch.first - second) + "\r\n";
    EXPECT_EQ(command("M 4096 " + ram + " 4096", differ), differ);
    EXPECT_EQ(command("M 61440 " + ram + " 4096", "0\r\n"), "0\r\n");
}

} // namespace
} // namespace sparwick::sim::test
