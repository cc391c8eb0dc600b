// W's and R's transfers as state machines, without a line: groups of twenty lines, the
// checksum that keeps a group or asks for it again, and what happens past the count.
#include "sim/BootLoaderConstants.h"
#include "sim/FlashMemory.h"
#include "sim/PartDescription.h"
#include "sim/ReadTransfer.h"
#include "sim/TargetMemory.h"
#include "sim/UuCodec.h"
#include "sim/WriteTransfer.h"

#include <gtest/gtest.h>
#include <numeric>
#include <string>
#include <vector>

namespace sparwick::sim::test {
namespace {

constexpr std::uint32_t ramBuffer = isp::ramBase + 0x1000;

class TransferStateTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> pattern(std::size_t size) const {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        return bytes;
    }
    std::string line(const std::vector<std::uint8_t>& data, std::size_t index) const {
        const std::size_t from = index * isp::bytesPerLine;
        const std::size_t size = std::min(isp::bytesPerLine, data.size() - from);
        return UuCodec::encodeLine(std::span(data).subspan(from, size));
    }
    static std::string sumOf(const std::vector<std::uint8_t>& data, std::size_t from,
                             std::size_t size) {
        return std::to_string(std::accumulate(
            data.begin() + static_cast<std::ptrdiff_t>(from),
            data.begin() + static_cast<std::ptrdiff_t>(from + size), std::uint64_t{0}));
    }

    PartDescription part = *PartDescription::find(196389);
    FlashMemory flash{part, {}};
    TargetMemory memory{flash};
};

TEST_F(TransferStateTest, WriteWantsAChecksumAfterTwentyLinesAndAfterTheLast) {
    const std::vector<std::uint8_t> data = pattern(25 * isp::bytesPerLine);
    WriteTransfer transfer(ramBuffer, static_cast<std::uint32_t>(data.size()));
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_FALSE(transfer.expectsChecksum()) << i;
        transfer.dataLine(line(data, i), memory);
    }
    EXPECT_TRUE(transfer.expectsChecksum());
    EXPECT_TRUE(transfer.checksumLine(sumOf(data, 0, 900), false));
    EXPECT_FALSE(transfer.complete());
    for (std::size_t i = 20; i < 25; ++i) {
        EXPECT_FALSE(transfer.expectsChecksum()) << i;
        transfer.dataLine(line(data, i), memory);
    }
    EXPECT_TRUE(transfer.expectsChecksum());
    EXPECT_TRUE(transfer.checksumLine(sumOf(data, 900, 225), false));
    EXPECT_TRUE(transfer.complete());
    EXPECT_EQ(memory.read(ramBuffer, static_cast<std::uint32_t>(data.size())), data);
}

TEST_F(TransferStateTest, WriteAsksForAGroupAgainUntilItsChecksumMatches) {
    const std::vector<std::uint8_t> data = pattern(90);
    WriteTransfer transfer(ramBuffer, 90);
    const std::string sum = sumOf(data, 0, 90);
    // A wrong sum, a line that is no uuencoded line, a sum that is no number, and a fault
    // that rejects a good sum: each time the same group comes again.
    transfer.dataLine(line(data, 0), memory);
    transfer.dataLine(line(data, 1), memory);
    EXPECT_FALSE(transfer.checksumLine("1", false));
    // A line cut short still counts towards the group, which then cannot be kept.
    std::string cut = line(data, 0);
    cut.pop_back();
    transfer.dataLine(cut, memory);
    transfer.dataLine(line(data, 1), memory);
    EXPECT_TRUE(transfer.expectsChecksum());
    EXPECT_FALSE(transfer.checksumLine(sum, false));
    transfer.dataLine(line(data, 0), memory);
    transfer.dataLine(line(data, 1), memory);
    EXPECT_FALSE(transfer.checksumLine("12x", false));
    transfer.dataLine(line(data, 0), memory);
    transfer.dataLine(line(data, 1), memory);
    EXPECT_FALSE(transfer.checksumLine(sum, true));
    EXPECT_FALSE(transfer.complete());
    transfer.dataLine(line(data, 0), memory);
    transfer.dataLine(line(data, 1), memory);
    EXPECT_TRUE(transfer.checksumLine(sum, false));
    EXPECT_TRUE(transfer.complete());
    EXPECT_EQ(memory.read(ramBuffer, 90), data);
}

TEST_F(TransferStateTest, WriteSumsButDoesNotStoreBytesPastTheCount) {
    const std::vector<std::uint8_t> data = pattern(isp::bytesPerLine);
    const std::vector<std::uint8_t> before = memory.read(ramBuffer, isp::bytesPerLine);
    WriteTransfer transfer(ramBuffer, 8);
    transfer.dataLine(line(data, 0), memory);
    EXPECT_TRUE(transfer.expectsChecksum());
    EXPECT_TRUE(transfer.checksumLine(sumOf(data, 0, data.size()), false));
    EXPECT_TRUE(transfer.complete());
    const std::vector<std::uint8_t> after = memory.read(ramBuffer, isp::bytesPerLine);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 8, data.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 8, after.end(), before.begin() + 8));
}

TEST_F(TransferStateTest, ReadSendsGroupsAgainOnResendAndEndsAtTheCount) {
    const std::vector<std::uint8_t> data = pattern(1000);
    memory.writeRam(ramBuffer, data);
    ReadTransfer transfer(ramBuffer, 1000);

    const ReadTransfer::Group first = transfer.group(memory);
    std::string expected;
    for (std::size_t i = 0; i < 20; ++i) {
        expected += line(data, i) + "\r\n";
    }
    EXPECT_EQ(first.lines, expected);
    EXPECT_EQ(std::to_string(first.sum), sumOf(data, 0, 900));

    EXPECT_EQ(transfer.answer("RESEND"), ReadTransfer::Answer::again);
    EXPECT_EQ(transfer.group(memory).lines, first.lines);
    EXPECT_EQ(transfer.answer("0"), ReadTransfer::Answer::unknown);
    EXPECT_EQ(transfer.answer("OK"), ReadTransfer::Answer::next);

    const ReadTransfer::Group last = transfer.group(memory);
    EXPECT_EQ(last.lines,
              line(data, 20) + "\r\n" + line(data, 21) + "\r\n" + line(data, 22) + "\r\n");
    EXPECT_EQ(std::to_string(last.sum), sumOf(data, 900, 100));
    EXPECT_EQ(transfer.answer("OK"), ReadTransfer::Answer::finished);
}

} // namespace
} // namespace sparwick::sim::test
