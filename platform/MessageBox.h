#pragma once

#include <functional>
#include <string_view>

namespace sparwick {

// The process-wide message box. Every text the user is meant to read goes through it:
// the dialog program shows a modal box, the command line prints, tests record. The call
// returns once the user has dismissed the message.
using MessageBoxHook = std::function<void(std::string_view text)>;

// Installs the hook and returns the one it replaces. An empty hook restores the default,
// which writes the text and a line end to standard error.
MessageBoxHook setMessageBoxHook(MessageBoxHook hook);

void showMessage(std::string_view text);

// The failure convention: show the text, then end the operation with UserAbort.
[[noreturn]] void abortWithMessage(std::string_view text);

} // namespace sparwick
