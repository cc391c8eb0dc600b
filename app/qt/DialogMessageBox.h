#pragma once

#include <string_view>

class QWidget;

namespace sparwick::app::qt {

// The dialog program's message box hook: a modal box with an OK button, owned by the main
// dialog, titled with the program's name as the Windows program titles its boxes. Returns
// when the user has dismissed it.
void showDialogMessageBox(QWidget* mainDialog, std::string_view text);

} // namespace sparwick::app::qt
