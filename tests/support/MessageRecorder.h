#pragma once

#include "platform/MessageBox.h"

#include <mutex>
#include <string>
#include <vector>

namespace sparwick::test {

// Collects every message shown while it lives, instead of printing them.
class MessageRecorder {
public:
    MessageRecorder()
        : previous(setMessageBoxHook([this](std::string_view text) {
            std::scoped_lock lock(mutex);
            shown.emplace_back(text);
        })) {}
    ~MessageRecorder() { setMessageBoxHook(std::move(previous)); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<std::string> messages() const {
        std::scoped_lock lock(mutex);
        return shown;
    }
    // The one message shown, or a note that there were none or several.
    std::string only() const {
        auto all = messages();
        if (all.size() != 1) {
            return "<" + std::to_string(all.size()) + " messages>";
        }
        return all.front();
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> shown;
    MessageBoxHook previous;
};

} // namespace sparwick::test
