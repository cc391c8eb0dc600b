// R as the host reads it, against a device on a pseudo-terminal that the test plays byte
// by byte: lines that arrive in pieces, zeros sent as spaces, a damaged line answered with
// RESEND, and replies that never end.
#include "flash/FlashReadBack.h"
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "flash/Uuencode.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/FarEnd.h"
#include "tests/support/MessageRecorder.h"

#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <thread>
#include <vector>

namespace sparwick {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::iota(data.begin(), data.end(), std::uint8_t{1});
    return data;
}

// The device's lines for data, each with its line end.
std::vector<std::string> linesOf(const std::vector<std::uint8_t>& data) {
    std::vector<std::string> lines;
    for (std::size_t offset = 0; offset < data.size(); offset += 45) {
        char text[64];
        std::uint32_t ignored = 0;
        const std::size_t length = uuencodeLine(
            data.data() + offset, std::min<std::size_t>(45, data.size() - offset), text, ignored);
        lines.push_back(std::string(text, length) + "\r\n");
    }
    return lines;
}

std::string sumLine(const std::vector<std::uint8_t>& data) {
    return std::to_string(std::accumulate(data.begin(), data.end(), 0u)) + "\r\n";
}

class ReadFromFlash : public ::testing::Test {
protected:
    void SetUp() override {
        standFor("COM6", pty.devicePath());
        ASSERT_TRUE(OsalSerialPort::instance().selectPort("COM6", true));
    }
    void TearDown() override {
        if (device.joinable()) {
            device.join();
        }
        OsalSerialPort::instance().close();
        forgetAllStandIns();
    }

    // The device's side, on a thread of its own while the host reads.
    void play(std::function<void()> script) { device = std::thread(std::move(script)); }

    // What the host got, or the one message it ended with.
    std::string read(std::uint32_t address, std::int32_t count, std::vector<std::uint8_t>& data) {
        test::MessageRecorder recorder;
        data.assign(static_cast<std::size_t>(count), 0);
        try {
            FlashReadBack(context).readFromFlash(address, count, data.data());
        } catch (const UserAbort&) {
            return recorder.only();
        }
        return {};
    }

    test::FarEnd pty;
    UpdateContext context;
    std::thread device;
};

TEST_F(ReadFromFlash, LinesThatArriveInPiecesAreReadWhole) {
    // Pauses longer than one read waits between bytes: a busy device or a USB adapter.
    const auto data = pattern(100);
    std::string heard;
    play([&] {
        heard = pty.receive(10, 2s);
        pty.send("0\r\n");
        for (const std::string& line : linesOf(data)) {
            pty.send(line.substr(0, line.size() / 2));
            std::this_thread::sleep_for(60ms);
            pty.send(line.substr(line.size() / 2));
        }
        const std::string sum = sumLine(data);
        pty.send(sum.substr(0, 2));
        std::this_thread::sleep_for(60ms);
        pty.send(sum.substr(2));
        heard += pty.receive(4, 2s);
    });
    std::vector<std::uint8_t> got;
    EXPECT_EQ(read(64, 100, got), "");
    device.join();
    EXPECT_EQ(got, data);
    EXPECT_EQ(heard, "R 64 100\r\nOK\r\n");
}

TEST_F(ReadFromFlash, ZerosSentAsSpacesAreZeros) {
    const std::vector<std::uint8_t> zeros(8, 0);
    play([&] {
        pty.receive(7, 2s);
        pty.send("0\r\n(" + std::string(12, ' ') + "\r\n0\r\n");
        pty.receive(4, 2s);
    });
    std::vector<std::uint8_t> got;
    EXPECT_EQ(read(0, 8, got), "");
    EXPECT_EQ(got, zeros);
}

TEST_F(ReadFromFlash, ALineDamagedOnTheWayIsAskedForAgainWithItsGroup) {
    const auto data = pattern(48);
    const auto lines = linesOf(data);
    std::string heard;
    play([&] {
        heard = pty.receive(9, 2s);
        // The first line's length character changed: still a line, but not these bytes.
        std::string damaged = lines[0];
        damaged[0] = 'L';
        pty.send("0\r\n" + damaged + lines[1] + sumLine(data));
        heard += pty.receive(8, 2s);
        pty.send(lines[0] + lines[1] + sumLine(data));
        heard += pty.receive(4, 2s);
    });
    std::vector<std::uint8_t> got;
    EXPECT_EQ(read(64, 48, got), "");
    device.join();
    EXPECT_EQ(got, data);
    EXPECT_EQ(heard, "R 64 48\r\nRESEND\r\nOK\r\n");
}

TEST_F(ReadFromFlash, RepliesThatDoNotEndOrAreRefusedEndTheRead) {
    const auto data = pattern(8);
    const auto line = linesOf(data)[0];
    struct Case {
        std::string reply;
        std::string_view message;
    };
    for (const Case& c : {
             Case{"19\r\n", msg::readFailed},                                // refused
             Case{"0\r\n" + line.substr(0, 10), msg::readFailed},            // a line cut short
             Case{"0\r\n" + line + "123456789012345", msg::readFailed},      // a sum with no end
             Case{"0\r\n" + line + "1234", msg::readFailed},                 // a sum cut short
             Case{"0\r\n" + line.substr(0, 12) + "\n\r\n", msg::readFailed}, // out of frame
         }) {
        SCOPED_TRACE(c.reply);
        play([&] {
            pty.receive(7, 2s);
            pty.send(c.reply);
        });
        std::vector<std::uint8_t> got;
        EXPECT_EQ(read(0, 8, got), c.message);
        device.join();
        pty.receiveUntilQuiet(20ms);
        OsalSerialPort::instance().purge(1);
    }
}

} // namespace
} // namespace sparwick
