// The memory commands against a scripted device that has finished its handshake: the
// exact bytes of each command line, the uuencoded transfer's lines and checksums, and
// each refusal with its own message.
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/Eventually.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/ScriptedPeer.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

// A device past the handshake: the part id of a 27-sector part, every command "0\r\n",
// every checksum "OK\r\n", data lines in silence; replies for a command letter (or 'S'
// for checksum lines) can be replaced, once or for good.
struct DeviceBehaviour {
    std::map<char, std::string> replies;
};

test::ScriptedPeer::Responder deviceWith(DeviceBehaviour behaviour) {
    return [behaviour](std::string_view pending) -> test::ScriptedPeer::Answer {
        auto end = pending.find("\r\n");
        if (end == std::string_view::npos) {
            return {};
        }
        std::string_view line = pending.substr(0, end);
        char kind = line.empty() ? ' ' : line[0];
        if (kind >= '0' && kind <= '9') {
            kind = 'S';
        } else if (!(line.size() >= 2 && line[1] == ' ') && kind != 'J') {
            return {end + 2, {}}; // a data line
        }
        if (auto it = behaviour.replies.find(kind); it != behaviour.replies.end()) {
            return {end + 2, it->second};
        }
        if (kind == 'J') {
            return {end + 2, "0\r\n196389\r\n"};
        }
        return {end + 2, kind == 'S' ? "OK\r\n" : "0\r\n"};
    };
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class MemoryCommands : public ::testing::Test {
protected:
    void SetUp() override { standFor("COM4", pty.devicePath()); }
    void TearDown() override {
        peer.reset();
        OsalSerialPort::instance().close();
        forgetAllStandIns();
    }

    // Opens the line at low speed (short pauses) and identifies the part, so that the
    // context knows its 27 sectors; what the device received is forgotten.
    void connect(DeviceBehaviour behaviour = {}) {
        OsalSerialPort::instance().close();
        ASSERT_TRUE(OsalSerialPort::instance().selectPort("COM4", false));
        // A longer reply of the case before leaves its last bytes unread.
        OsalSerialPort::instance().purge(1);
        peer.emplace(pty, deviceWith(std::move(behaviour)));
        ASSERT_EQ(context.readSectorCount(), 27);
        sentBefore = peer->received().size();
    }

    // What the host has sent since connect(). A marker line written after it shows when
    // all of it has reached the peer: the line keeps the order of the bytes.
    std::string sent() {
        static constexpr std::string_view marker = "~\r\n";
        EXPECT_TRUE(OsalSerialPort::instance().write(marker.data(),
                                                     static_cast<std::int32_t>(marker.size())));
        std::string all;
        EXPECT_TRUE(test::eventually(
            [&] {
                all = peer->received();
                return all.find(marker, sentBefore) != std::string::npos;
            },
            2000ms));
        return all.substr(sentBefore, all.find(marker, sentBefore) - sentBefore);
    }

    // The message a command ended with, or "" when it succeeded.
    std::string outcome(const std::function<void()>& command) {
        test::MessageRecorder recorder;
        try {
            command();
        } catch (const UserAbort&) {
            return recorder.only();
        }
        return {};
    }

    test::FarEnd pty;
    std::optional<test::ScriptedPeer> peer;
    UpdateContext context;
    std::size_t sentBefore = 0;
};

TEST_F(MemoryCommands, CommandLinesAreExactDecimalBytes) {
    connect();
    context.prepareSectors(0, 26);
    context.eraseSectors(0, 26);
    context.blankCheckSectors(1, 26);
    // The longest line the update sends: a six-digit flash address, the RAM address, a
    // four-digit count.
    context.copyRamToFlash(503808, 1073742336, 4096);
    context.goToAddress(0);
    EXPECT_EQ(sent(), "P 0 26\r\nE 0 26\r\nI 1 26\r\nC 503808 1073742336 4096\r\nG 0 A\r\n");
}

TEST_F(MemoryCommands, SectorOutsideThePartOrReversedRangeIsRefusedWithoutSending) {
    connect();
    const std::pair<int, int> refused[] = {{27, 27}, {0, 27}, {5, 4}, {-1, 3}, {3, -1}};
    for (auto [start, end] : refused) {
        SCOPED_TRACE(std::to_string(start) + " " + std::to_string(end));
        EXPECT_EQ(outcome([&] { context.prepareSectors(start, end); }), msg::invalidPrepareSector);
        EXPECT_EQ(outcome([&] { context.eraseSectors(start, end); }), msg::invalidPrepareSector);
        EXPECT_EQ(outcome([&] { context.blankCheckSectors(start, end); }),
                  msg::invalidPrepareSector);
    }
    EXPECT_EQ(sent(), "");
}

TEST_F(MemoryCommands, BeforeThePartIsKnownEverySectorIsRefused) {
    UpdateContext fresh;
    EXPECT_EQ(outcome([&] { fresh.prepareSectors(0, 0); }), msg::invalidPrepareSector);
}

TEST_F(MemoryCommands, RamWriteSendsWholeLinesWithAChecksumAfterEveryTwentyAndTheLast) {
    std::vector<std::uint8_t> data(4140);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    struct Case {
        int count;
        int dataLines;
        std::vector<int> checksumAfter; // data lines sent before each checksum line
    };
    const Case cases[] = {
        {4140, 92, {20, 40, 60, 80, 92}},
        {900, 20, {20}},
        {45, 1, {1}},
        {0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        connect();
        context.writeToRam(1073742336, c.count, data.data());
        auto lines = linesOf(sent());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "W 1073742336 " + std::to_string(c.count));
        int dataLines = 0;
        std::uint32_t expectedSum = 0;
        std::vector<int> checksumAfter;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (line[0] == 'M') {
                EXPECT_EQ(line.size(), 61u);
                for (int k = 0; k < 45; ++k) {
                    expectedSum += data[static_cast<std::size_t>(dataLines * 45 + k)];
                }
                ++dataLines;
            } else {
                EXPECT_EQ(line, std::to_string(expectedSum));
                checksumAfter.push_back(dataLines);
                expectedSum = 0;
            }
        }
        EXPECT_EQ(dataLines, c.dataLines);
        EXPECT_EQ(checksumAfter, c.checksumAfter);
        peer.reset();
    }
}

TEST_F(MemoryCommands, ChecksumOfZeroBytesIsTheDigitZero) {
    connect();
    std::vector<std::uint8_t> zeros(45, 0);
    context.writeToRam(1073742336, 45, zeros.data());
    EXPECT_EQ(sent(), "W 1073742336 45\r\nM" + std::string(60, '`') + "\r\n0\r\n");
}

TEST_F(MemoryCommands, CountThatIsNotAWholeLineEndsWithAShorterLine) {
    connect();
    std::vector<std::uint8_t> data(50, 0xFF);
    context.writeToRam(1073742336, 50, data.data());
    auto lines = linesOf(sent());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "%______\\`"); // 5 bytes: 0xFF 0xFF 0xFF, then 0xFF 0xFF and a zero fill
    EXPECT_EQ(lines[3], std::to_string(50 * 255));
}

TEST_F(MemoryCommands, ChecksumNotAcceptedEndsTheWriteBeforeTheNextLine) {
    connect({{{'S', "RESEND\r\n"}}});
    std::vector<std::uint8_t> data(4140, 0x55);
    EXPECT_EQ(outcome([&] { context.writeToRam(1073742336, 4140, data.data()); }),
              msg::checksumFailed);
    auto lines = linesOf(sent());
    ASSERT_EQ(lines.size(), 22u); // W, 20 data lines, the checksum line: nothing after it
    EXPECT_EQ(lines.back(), std::to_string(20 * 45 * 0x55));
}

TEST_F(MemoryCommands, EachRefusalEndsWithTheCommandsOwnMessage) {
    std::vector<std::uint8_t> data(45, 1);
    struct Case {
        char letter;
        std::string reply;
        std::function<void(UpdateContext&)> command;
        std::string_view message;
    };
    const Case cases[] = {
        {'P', "9\r\n", [](UpdateContext& c) { c.prepareSectors(0, 26); }, msg::sectorCommandFailed},
        {'E', "0\r", [](UpdateContext& c) { c.eraseSectors(0, 26); }, msg::sectorCommandFailed},
        {'I', "8\r\n", [](UpdateContext& c) { c.blankCheckSectors(1, 26); },
         msg::sectorCommandFailed},
        {'W', "13\r\n", [&](UpdateContext& c) { c.writeToRam(1073742336, 45, data.data()); },
         msg::writeToRamFailed},
        {'C', "9\r\n", [](UpdateContext& c) { c.copyRamToFlash(0, 1073742336, 4096); },
         msg::copyFailed},
        {'G', "13\r\n", [](UpdateContext& c) { c.goToAddress(0); }, msg::goFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        connect({{{c.letter, c.reply}}});
        EXPECT_EQ(outcome([&] { c.command(context); }), c.message);
        peer.reset();
    }
}

TEST_F(MemoryCommands, DeviceThatHangsUpCannotBeCommunicatedWith) {
    connect();
    peer.reset();
    pty.hangUp();
    EXPECT_EQ(outcome([&] { context.prepareSectors(0, 26); }), msg::couldNotCommunicate);
}

} // namespace
} // namespace sparwick
