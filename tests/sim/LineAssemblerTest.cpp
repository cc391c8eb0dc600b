// The boot loader's line input without a device: line ends, ESC, the buffer's limit, the
// echo as it comes or held for the reply, and bytes a data-line fault loses.
#include "sim/LineAssembler.h"

#include "sim/BootLoaderConstants.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sparwick::sim::test {
namespace {

using namespace std::chrono_literals;
using Clock = LineAssembler::Clock;

// Records what the assembler hands over; takes the held echo with each line, as a reply
// would.
class RecordingListener : public LineAssembler::Listener {
public:
    LineAssembler::LineStart lineStarts(bool lineEnd) override {
        starts.push_back(lineEnd);
        return nextStart;
    }
    void echo(std::string_view bytes) override { echoed += bytes; }
    void lineComplete(const std::string& text, bool overflow) override {
        lines.push_back(text);
        overflows.push_back(overflow);
        heldWithLine.push_back(assembler->takeHeldEcho());
    }
    void escape() override { ++escapes; }
    bool listening() const override { return stillListening; }

    LineAssembler* assembler = nullptr;
    LineAssembler::LineStart nextStart{LineAssembler::Echo::immediate, 0};
    bool stillListening = true;
    std::vector<bool> starts;
    std::string echoed;
    std::vector<std::string> lines;
    std::vector<bool> overflows;
    std::vector<std::string> heldWithLine;
    int escapes = 0;
};

class LineAssemblerTest : public ::testing::Test {
protected:
    LineAssemblerTest() { listener.assembler = &assembler; }

    void feed(const std::string& bytes, Clock::time_point at) {
        for (const char byte : bytes) {
            assembler.receive(byte, at);
        }
    }

    RecordingListener listener;
    LineAssembler assembler{listener};
    const Clock::time_point t0 = Clock::now();
};

TEST_F(LineAssemblerTest, EndsLinesAtLfAndCrLfAndEchoesEveryByte) {
    feed("J\r\nK\nU 23130\r\n", t0);
    EXPECT_EQ(listener.lines, (std::vector<std::string>{"J", "K", "U 23130"}));
    EXPECT_EQ(listener.echoed, "J\r\nK\nU 23130\r\n");
    EXPECT_FALSE(assembler.deadline());
    // An empty line is no line, but it is echoed.
    feed("\r\n", t0);
    EXPECT_EQ(listener.lines.size(), 3u);
    EXPECT_EQ(listener.starts, (std::vector<bool>{false, false, false, true}));
}

TEST_F(LineAssemblerTest, ACrAloneEndsTheLineWhenNoLfFollowsInTime) {
    feed("J\r", t0);
    ASSERT_EQ(assembler.deadline(), t0 + isp::lineFeedWait);
    assembler.tick(t0 + isp::lineFeedWait - 1ms);
    EXPECT_TRUE(listener.lines.empty());
    assembler.tick(t0 + isp::lineFeedWait);
    EXPECT_EQ(listener.lines, std::vector<std::string>{"J"});
    // A byte other than LF after a CR ends the line and starts the next one.
    feed("K\rJ\r\n", t0 + 1s);
    EXPECT_EQ(listener.lines, (std::vector<std::string>{"J", "K", "J"}));
    // On a slow line the CR waits two byte times.
    assembler.setByteTime(15ms);
    feed("K\r", t0 + 2s);
    EXPECT_EQ(assembler.deadline(), t0 + 2s + 30ms);
}

TEST_F(LineAssemblerTest, ABytePastACrIsDroppedOnceTheBootLoaderStopsListening) {
    feed("G 0 A\r", t0);
    listener.stillListening = false;
    feed("J", t0);
    EXPECT_EQ(listener.lines, std::vector<std::string>{"G 0 A"});
    EXPECT_EQ(listener.starts.size(), 1u);
}

TEST_F(LineAssemblerTest, EscAbandonsTheLineAndIsNotEchoed) {
    feed("W 1073742336", t0);
    feed("\x1b", t0);
    feed("J\r\n", t0);
    EXPECT_EQ(listener.escapes, 1);
    EXPECT_EQ(listener.lines, std::vector<std::string>{"J"});
    EXPECT_EQ(listener.echoed, "W 1073742336J\r\n");
}

TEST_F(LineAssemblerTest, CutsALineAtTheBufferAndSaysSo) {
    const std::string longLine(isp::maxLineLength + 10, '1');
    feed(longLine + "\r\n", t0);
    ASSERT_EQ(listener.lines.size(), 1u);
    EXPECT_EQ(listener.lines[0], longLine.substr(0, isp::maxLineLength));
    EXPECT_TRUE(listener.overflows[0]);
    // Every byte is echoed all the same, and the next line starts clean.
    EXPECT_EQ(listener.echoed, longLine + "\r\n");
    feed("J\r\n", t0);
    EXPECT_FALSE(listener.overflows[1]);
}

TEST_F(LineAssemblerTest, AHeldEchoLeavesWithTheReplyOrOnItsOwn) {
    listener.nextStart.echo = LineAssembler::Echo::held;
    feed("J\r\n", t0);
    EXPECT_EQ(listener.echoed, "");
    EXPECT_EQ(listener.heldWithLine, std::vector<std::string>{"J\r\n"});
    // An empty line, and an abandoned one, send theirs as it stands.
    feed("\r\n", t0);
    EXPECT_EQ(listener.echoed, "\r\n");
    feed("P 0\x1b", t0);
    EXPECT_EQ(listener.echoed, "\r\nP 0");
    // With echo off nothing goes back at all.
    listener.nextStart.echo = LineAssembler::Echo::off;
    feed("K\r\n", t0);
    EXPECT_EQ(listener.echoed, "\r\nP 0");
    EXPECT_EQ(listener.heldWithLine.back(), "");
}

TEST_F(LineAssemblerTest, LostBytesAreNeitherEchoedNorKeptButTheLineEndArrives) {
    listener.nextStart.lostBytes = 3;
    feed("MABCDE\r\n", t0);
    EXPECT_EQ(listener.lines, std::vector<std::string>{"MDE"});
    EXPECT_EQ(listener.echoed, "MDE\r\n");
    // More to lose than the line holds: the line end still completes it, and what is
    // left to lose does not reach into the next line.
    listener.nextStart.lostBytes = 10;
    feed("MAB\r\n", t0);
    listener.nextStart.lostBytes = 0;
    feed("J\r\n", t0);
    EXPECT_EQ(listener.lines, (std::vector<std::string>{"MDE", "M", "J"}));
    EXPECT_EQ(listener.echoed, "MDE\r\nM\r\nJ\r\n");
}

TEST_F(LineAssemblerTest, ClearForgetsTheLineInProgressAndItsHeldEcho) {
    listener.nextStart.echo = LineAssembler::Echo::held;
    feed("J\r", t0);
    assembler.clear();
    EXPECT_FALSE(assembler.deadline());
    EXPECT_EQ(assembler.takeHeldEcho(), "");
    feed("K\r\n", t0);
    EXPECT_EQ(listener.lines, std::vector<std::string>{"K"});
    EXPECT_EQ(listener.heldWithLine, std::vector<std::string>{"K\r\n"});
}

} // namespace
} // namespace sparwick::sim::test
