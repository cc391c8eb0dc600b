// The command lines the host sends: plain decimal numbers, and a line that never outgrows
// its buffer.
#include "flash/IspLineBuffer.h"

#include "platform/FrameworkError.h"

#include <gtest/gtest.h>
#include <string>

namespace sparwick {
namespace {

TEST(IspLineBuffer, NumbersArePlainDecimalAndTheLineStaysTerminated) {
    IspLineBuffer<32> line;
    line.text("C ").number(std::int32_t{503808}).text(" ").number(std::int32_t{1073742336});
    line.text(" ").number(std::int32_t{4096}).text("\r\n");
    EXPECT_EQ(line.view(), "C 503808 1073742336 4096\r\n");
    EXPECT_EQ(std::string(line.c_str()), "C 503808 1073742336 4096\r\n");

    IspLineBuffer<32> sum;
    sum.number(std::uint32_t{4294967295u}).text("\r\n");
    EXPECT_EQ(sum.view(), "4294967295\r\n");
    IspLineBuffer<32> negative;
    negative.number(std::int32_t{-5});
    EXPECT_EQ(negative.view(), "-5");
}

TEST(IspLineBuffer, LineThatWouldNotFitWithItsTerminatorIsRefused) {
    IspLineBuffer<8> line;
    line.text("1234567"); // seven characters and the terminator fill it
    EXPECT_THROW(line.text("8"), InvalidArgumentError);
    EXPECT_EQ(line.view(), "1234567");
}

} // namespace
} // namespace sparwick
