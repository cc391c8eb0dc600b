#include "app/DialogChoices.h"
#include "flash/IspFlasher.h"
#include "flash/UpdateMessages.h"
#include "flash/UpdateOutcome.h"
#include "platform/FrameworkError.h"
#include "platform/MessageBox.h"
#include "platform/UserAbort.h"
#include "tests/support/MessageRecorder.h"

#include <gtest/gtest.h>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace sparwick::app {
namespace {

using test::MessageRecorder;

const std::string fatal(msg::fatalError);

TEST(DialogUpdateOutcome, AReturnedUpdateSucceedsWithNoFurtherMessage) {
    MessageRecorder messages;
    EXPECT_EQ(runUpdate([](IspFlasher&) { showMessage(msg::success); }).end, UpdateEnd::passed);
    EXPECT_EQ(messages.only(), msg::success);
}

TEST(DialogUpdateOutcome, AUserAbortEndsQuietlyAfterItsOwnMessage) {
    MessageRecorder messages;
    EXPECT_EQ(runUpdate([](IspFlasher&) { abortWithMessage(msg::checksumFailed); }).end,
              UpdateEnd::failed);
    EXPECT_EQ(messages.only(), msg::checksumFailed);
}

TEST(DialogUpdateOutcome, EveryOtherExceptionShowsTheFatalMessageOnce) {
    const std::vector<std::function<void()>> failures = {
        [] { throw InvalidArgumentError{}; }, [] { throw MemoryError{}; },
        [] { throw FrameworkError{}; },       [] { throw std::runtime_error("not for the user"); },
        [] { throw std::bad_alloc{}; },       [] { throw 42; },
    };
    for (std::size_t i = 0; i < failures.size(); ++i) {
        SCOPED_TRACE(i);
        MessageRecorder messages;
        EXPECT_EQ(runUpdate([&](IspFlasher&) { failures[i](); }).end, UpdateEnd::fatal);
        EXPECT_EQ(messages.only(), fatal);
    }
}

// The port must be closed before the user reads that the update is over.
TEST(DialogUpdateOutcome, WhatTheUpdateOwnsIsGoneBeforeTheFatalMessage) {
    std::vector<std::string> events;
    MessageBoxHook previous =
        setMessageBoxHook([&events](std::string_view text) { events.emplace_back(text); });
    struct Flasher {
        std::vector<std::string>& events;
        ~Flasher() { events.emplace_back("flasher destroyed"); }
    };
    UpdateOutcome outcome = runUpdate([&events](IspFlasher&) {
        Flasher flasher{events};
        throw std::runtime_error("port");
    });
    setMessageBoxHook(std::move(previous));
    EXPECT_EQ(outcome.end, UpdateEnd::fatal);
    EXPECT_EQ(events, (std::vector<std::string>{"flasher destroyed", fatal}));
}

// No port present: the dialog's update ends in reading its choices, before a flasher
// exists and so before any port is opened.
TEST(DialogUpdateOutcome, AnEmptyPortBoxEndsWithTheFatalMessageBeforeTheFlasher) {
    class EmptyBox : public ComboBoxItems {
    public:
        int count() const override { return 0; }
        int selectedIndex() const override { return -1; }
        std::string textAt(int) const override { return "COM1"; }
    } portBox, speedBox;
    MessageRecorder messages;
    bool flasherReached = false;
    UpdateOutcome outcome = runUpdate([&](IspFlasher&) {
        readChoices(portBox, speedBox);
        flasherReached = true;
    });
    EXPECT_EQ(outcome.end, UpdateEnd::fatal);
    EXPECT_FALSE(flasherReached);
    EXPECT_EQ(messages.only(), fatal);
}

} // namespace
} // namespace sparwick::app
