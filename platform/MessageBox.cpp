#include "platform/MessageBox.h"

#include "platform/UserAbort.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace sparwick {
namespace {

void printToStandardError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

struct HookSlot {
    std::mutex mutex;
    MessageBoxHook hook = printToStandardError;
};

HookSlot& slot() {
    static HookSlot theSlot;
    return theSlot;
}

} // namespace

MessageBoxHook setMessageBoxHook(MessageBoxHook hook) {
    if (!hook) {
        hook = printToStandardError;
    }
    std::scoped_lock lock(slot().mutex);
    return std::exchange(slot().hook, std::move(hook));
}

void showMessage(std::string_view text) {
    MessageBoxHook hook;
    {
        std::scoped_lock lock(slot().mutex);
        hook = slot().hook;
    }
    // Called outside the lock: a modal box may take as long as the user likes.
    hook(text);
}

void abortWithMessage(std::string_view text) {
    showMessage(text);
    throw UserAbort{};
}

} // namespace sparwick
