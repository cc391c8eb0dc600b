#pragma once

#include <string_view>

namespace sparwick::app {

// The dialog program's message box hook: a modal box with an OK button, owned by the
// active window, titled with the program's name as the framework titles its boxes.
// Returns when the user has dismissed it.
void showDialogMessageBox(std::string_view text);

} // namespace sparwick::app
