#include "app/DialogChoices.h"
#include "app/DialogUpdate.h"
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

// No port present: the dialog's update ends in reading its choices, before any port is
// opened, with the fatal message shown over the progress window, which goes after it.
TEST(DialogUpdateOutcome, AnEmptyPortBoxEndsWithTheFatalMessageOverTheProgressWindow) {
    class EmptyBox : public ComboBoxItems {
    public:
        int count() const override { return 0; }
        int selectedIndex() const override { return -1; }
        std::string textAt(int) const override { return "COM1"; }
    } portBox, speedBox;
    std::vector<std::string> events;
    class Window : public DialogProgress {
    public:
        explicit Window(std::vector<std::string>& into)
            : events(into) {}
        void setProgress(int) override { events.emplace_back("progress"); }
        void showWindow() override { events.emplace_back("shown"); }
        void hideWindow() override { events.emplace_back("hidden"); }

    private:
        std::vector<std::string>& events;
    } window(events);
    MessageBoxHook previous =
        setMessageBoxHook([&events](std::string_view text) { events.emplace_back(text); });
    const UpdateOutcome outcome = runDialogUpdate(window, portBox, speedBox, {});
    setMessageBoxHook(std::move(previous));
    EXPECT_EQ(outcome.end, UpdateEnd::fatal);
    EXPECT_EQ(outcome.step, UpdateStep::loading);
    EXPECT_EQ(events, (std::vector<std::string>{"shown", fatal, "hidden"}));
}

} // namespace
} // namespace sparwick::app
