// The host's side of the turbo flasher's protocol against a scripted flasher: the exact
// bytes of each request (little-endian words, a block's CRC-32), and each reply that is
// not a success (short, a refused status, a CRC that differs) ending in its own message.
#include "flash/TurboSession.h"

#include "flash/UpdateMessages.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/ScriptedPeer.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace sparwick {
namespace {

std::string word(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

std::string reply(std::uint8_t status, std::uint32_t value) {
    return std::string(1, static_cast<char>(status)) + word(value);
}

// A request's size once its command byte (and a data request's length) has arrived.
std::size_t requestSize(std::string_view pending) {
    switch (pending[0]) {
    case 'D':
    case 'Z':
        if (pending.size() < 5) {
            return 0;
        }
        return 1 + 4 +
               (static_cast<std::uint8_t>(pending[1]) | static_cast<std::uint8_t>(pending[2])
                                                            << 8) +
               4;
    case 'G':
        return 1;
    case 'S':
        return 1 + 12;
    default:
        return 1 + 8;
    }
}

// Answers each whole request with the next of replies; silent once they are used up.
test::ScriptedPeer::Responder flasher(std::vector<std::string> replies) {
    auto queue = std::make_shared<std::deque<std::string>>(replies.begin(), replies.end());
    return [queue](std::string_view pending) -> test::ScriptedPeer::Answer {
        const std::size_t size = pending.empty() ? 0 : requestSize(pending);
        if (size == 0 || pending.size() < size) {
            return {};
        }
        std::string answer;
        if (!queue->empty()) {
            answer = queue->front();
            queue->pop_front();
        }
        return {size, answer};
    };
}

const std::vector<std::uint8_t> block = {'1', '2', '3', '4', '5', '6', '7', '8'};
// zlib's CRC-32 of "12345678".
constexpr std::uint32_t blockCrc = 0x9AE0DAAF;

TEST(TurboSessionTest, Crc32IsZlibs) {
    const std::vector<std::uint8_t> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(TurboSession::crc32(check), 0xCBF43926u);
    EXPECT_EQ(TurboSession::crc32(block), blockCrc);
    // In pieces as in one.
    EXPECT_EQ(TurboSession::crc32(std::span(check).subspan(4),
                                  TurboSession::crc32(std::span(check).first(4))),
              0xCBF43926u);
}

TEST(TurboSessionTest, ABlockGoesDeflatedOnlyWhenThatIsSmaller) {
    std::vector<std::uint8_t> noise(4096);
    std::uint32_t state = 26;
    for (auto& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    EXPECT_TRUE(TurboSession::deflateBlock(noise).empty());
    const auto stream = TurboSession::deflateBlock(std::vector<std::uint8_t>(4096, 0xFF));
    EXPECT_FALSE(stream.empty());
    EXPECT_EQ(stream.size() % 4, 0u);
    EXPECT_LT(stream.size(), 64u);
}

TEST(TurboSessionTest, RequestsAndReplies) {
    const std::string ok = reply(0, 0);
    const std::string prefix(msg::turboFailedPrefix);
    const std::string recovery(msg::turboRecovery);
    const std::string dataRequest = "D" + word(8) + "12345678" + word(blockCrc);
    // A block's prepare goes with the block, before its reply.
    const std::string prepareRequest = "P" + word(2) + word(2);
    const std::string writeRequests = prepareRequest + "W" + word(0x2000) + word(8);
    // A block that deflates: its stream, and the CRC-32 of the block.
    static const std::vector<std::uint8_t> blank(4096, 0xFF);
    const auto stream = TurboSession::deflateBlock(blank);
    const std::string compressedRequest = "Z" + word(static_cast<std::uint32_t>(stream.size())) +
                                          std::string(stream.begin(), stream.end()) +
                                          word(TurboSession::crc32(blank));
    struct Case {
        const char* name;
        std::function<void(TurboSession&)> steps;
        std::vector<std::string> replies;
        std::string sent;
        std::string message; // "" for success
    };
    const std::vector<Case> cases = {
        {"prepare and erase",
         [](TurboSession& s) { s.prepareAndErase(3, 0x0102); },
         {ok, ok},
         "P" + word(3) + word(0x0102) + "E" + word(3) + word(0x0102),
         ""},
        {"a block sent again after its CRC failed",
         [](TurboSession& s) { s.writeBlock(0x2000, block, 2); },
         {reply(5, 1), ok, reply(0, blockCrc), ok, ok},
         dataRequest + prepareRequest + dataRequest + writeRequests,
         ""},
        {"a block whose CRC always fails",
         [](TurboSession& s) { s.writeBlock(0x2000, block, 2); },
         {reply(5, 1), ok, reply(5, 1), ok, reply(5, 1), ok},
         dataRequest + prepareRequest + dataRequest + prepareRequest + dataRequest + prepareRequest,
         prefix + "block failed (block CRC failed). " + recovery},
        {"a refused block, its prepare's answer not awaited",
         [](TurboSession& s) { s.writeBlock(0x2000, block, 2); },
         {reply(4, 8)},
         dataRequest + prepareRequest,
         prefix + "block failed (flasher status 4). " + recovery},
        {"a deflated block sent again after its stream did not inflate",
         [](TurboSession& s) { s.writeBlock(0x2000, blank, 2); },
         {reply(8, 0), ok, reply(8, 0), ok, reply(8, 0), ok},
         compressedRequest + prepareRequest + compressedRequest + prepareRequest +
             compressedRequest + prepareRequest,
         prefix + "block failed (compressed block did not inflate). " + recovery},
        {"a short reply",
         [](TurboSession& s) { s.prepareAndErase(0, 1); },
         {ok.substr(0, 4)},
         "P" + word(0) + word(1),
         prefix + "prepare failed (no answer). " + recovery},
        {"a refused copy",
         [](TurboSession& s) { s.writeBlock(0x2000, block, 2); },
         {reply(0, blockCrc), ok, reply(6, 9)},
         dataRequest + writeRequests,
         prefix + "copy failed (IAP status 9). " + recovery},
        {"a flash CRC that differs",
         [](TurboSession& s) { s.verify(0, 0x10000, 0x12345678); },
         {reply(0, 0x12345679)},
         "C" + word(0) + word(0x10000),
         prefix + "verify failed (flash CRC-32 differs from the image's). " + recovery},
        {"the CRCs of the flash's blocks, a reply each",
         [](TurboSession& s) {
             EXPECT_EQ(s.sums(0x1000, 4096, 2), (std::vector<std::uint32_t>{7, 8}));
         },
         {reply(0, 7) + reply(0, 8)},
         "S" + word(0x1000) + word(4096) + word(2),
         ""},
        {"a sum refused",
         [](TurboSession& s) { s.sums(0, 4096, 200); },
         {reply(7, 512000)},
         "S" + word(0) + word(4096) + word(200),
         prefix + "compare failed (flasher status 7). " + recovery},
        {"go", [](TurboSession& s) { s.go(); }, {ok}, "G", ""},
    };
    for (const Case& c : cases) {
        test::FarEnd pty;
        standFor("COM4", pty.devicePath());
        OsalSerialPort& port = OsalSerialPort::instance();
        ASSERT_TRUE(port.selectPort("COM4", false)) << c.name;
        ASSERT_TRUE(port.switchToBinaryLine(921600)) << c.name;
        std::string message;
        {
            test::ScriptedPeer peer(pty, flasher(c.replies));
            TurboSession session(921600);
            test::MessageRecorder recorder;
            try {
                c.steps(session);
            } catch (const UserAbort&) {
                message = recorder.only();
            }
            EXPECT_EQ(peer.received(), c.sent) << c.name;
        }
        EXPECT_EQ(message, c.message) << c.name;
        port.close();
        forgetAllStandIns();
    }
}

} // namespace
} // namespace sparwick
