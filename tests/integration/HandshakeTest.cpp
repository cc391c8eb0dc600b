// The handshake against a scripted device on the far end of a pseudo-terminal: the good
// conversation with both parts, and every reply that must end it with its own message.
#include "flash/UpdateContext.h"
#include "flash/UpdateMessages.h"
#include "platform/UserAbort.h"
#include "serial/DeviceNames.h"
#include "serial/OsalSerialPort.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>
#include <optional>

namespace sparwick {
namespace {

using Step = test::ScriptedPeer::Step;

// The conversation a freshly started boot loader has with us, up to the part id.
std::vector<Step> goodConversation(const std::string& partReply = "0\r\n196389\r\n") {
    return {
        {"?", "Synchronized\r\n"},
        {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
        {"14746\r\n", "14746\r\nOK\r\n"},
        {"A 0\r\n", "A 0\r\n0\r\n"},
        {"U 23130\r\n", "0\r\n"},
        {"J\r\n", partReply},
        {"J\r\n", partReply},
    };
}

class Handshake : public ::testing::Test {
protected:
    void SetUp() override {
        standFor("COM5", pty.devicePath());
        ASSERT_TRUE(OsalSerialPort::instance().selectPort("COM5", true));
    }
    void TearDown() override {
        peer.reset();
        OsalSerialPort::instance().close();
        forgetAllStandIns();
    }

    void talkTo(std::vector<Step> steps) {
        peer.emplace(pty, test::ScriptedPeer::script(std::move(steps)));
    }

    // Runs the handshake as an update does; the message it ended with, if any.
    std::string runHandshake() {
        try {
            context.synchronize();
            context.setEchoOff();
            context.unlock();
            context.checkPartId();
            context.readSectorCount();
        } catch (const UserAbort&) {
            return recorder.only();
        }
        return {};
    }

    test::FarEnd pty;
    std::optional<test::ScriptedPeer> peer;
    test::MessageRecorder recorder;
    UpdateContext context;
};

TEST_F(Handshake, GoodConversationYieldsTheSectorCountOfEitherPart) {
    talkTo(goodConversation("0\r\n196389\r\n"));
    EXPECT_EQ(runHandshake(), "");
    EXPECT_EQ(context.sectorCount(), 27);
    EXPECT_EQ(peer->received(), "?Synchronized\r\n14746\r\nA 0\r\nU 23130\r\nJ\r\nJ\r\n");

    peer.reset();
    talkTo(goodConversation("0\r\n196387\r\n"));
    UpdateContext second;
    second.synchronize();
    second.setEchoOff();
    second.unlock();
    second.checkPartId();
    EXPECT_EQ(second.readSectorCount(), 15);
}

TEST_F(Handshake, NoAnswerToTheFirstCallGivesTheLongMessage) {
    talkTo({});
    EXPECT_EQ(runHandshake(), msg::noDevice);
}

TEST_F(Handshake, PortThatDidNotOpenGivesTheLongMessage) {
    OsalSerialPort::instance().close();
    EXPECT_EQ(runHandshake(), msg::noDevice);
}

TEST_F(Handshake, EachWrongReplyEndsWithItsOwnMessage) {
    struct Case {
        const char* what;
        std::size_t step; // which reply of the good conversation is replaced
        std::string reply;
        std::string_view message;
    };
    const Case cases[] = {
        {"13 of 14 bytes after ?", 0, "Synchronized\r", msg::noDevice},
        {"wrong reply to ?", 0, "Synchronizeb\r\n", msg::noDevice},
        // The extra byte passes the first exchange and then starts the next reply.
        {"one byte extra after ?", 0, "Synchronized\r\nX", msg::syncFailure},
        {"short sync word", 1, "Synchronized\r\nOK\r", msg::syncFailure},
        {"no echo of the sync word", 1, "OK\r\n", msg::syncFailure},
        {"crystal refused", 2, "14746\r\nNO\r\n", msg::clockFailure},
        {"echo off refused", 3, "A 0\r\n1\r\n", msg::echoFailure},
        {"unlock status other than 0", 4, "19\r\n", msg::unlockFailure},
        {"unknown part", 5, "0\r\n196388\r\n", msg::partIdInvalid},
        {"second part id unknown", 6, "0\r\n123456\r\n", msg::partIdInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto steps = goodConversation();
        steps[c.step].reply = c.reply;
        test::FarEnd device;
        standFor("COM6", device.devicePath());
        OsalSerialPort::instance().close();
        ASSERT_TRUE(OsalSerialPort::instance().selectPort("COM6", true));
        test::MessageRecorder messages;
        test::ScriptedPeer script(device, test::ScriptedPeer::script(steps));
        UpdateContext fresh;
        try {
            fresh.synchronize();
            fresh.setEchoOff();
            fresh.unlock();
            fresh.checkPartId();
            fresh.readSectorCount();
            ADD_FAILURE() << "the handshake succeeded";
        } catch (const UserAbort&) {
            EXPECT_EQ(messages.only(), c.message);
        }
        EXPECT_EQ(fresh.sectorCount(), 0);
    }
}

TEST_F(Handshake, UnknownPartIsRefusedBeforeTheSectorCountIsAsked) {
    auto steps = goodConversation("0\r\n196388\r\n");
    talkTo(steps);
    EXPECT_EQ(runHandshake(), msg::partIdInvalid);
    EXPECT_EQ(peer->received(), "?Synchronized\r\n14746\r\nA 0\r\nU 23130\r\nJ\r\n");
}

TEST_F(Handshake, DeviceThatHangsUpMidHandshakeCannotBeCommunicatedWith) {
    peer.emplace(pty, [answered = false](std::string_view pending) mutable {
        test::ScriptedPeer::Answer answer;
        if (!answered && pending.starts_with("?")) {
            answered = true;
            answer = {1, "Synchronized\r\n"};
        } else if (answered && pending.starts_with("Synchronized\r\n")) {
            answer.consumed = pending.size();
            answer.hangUp = true;
        }
        return answer;
    });
    EXPECT_EQ(runHandshake(), msg::couldNotCommunicate);
}

} // namespace
} // namespace sparwick
