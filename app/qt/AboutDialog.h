#pragma once

#include "flash/UpdateOptions.h"

#include <QDialog>

namespace sparwick::app::qt {

// The About box: the icon, the product line and a notice line that says which opt-in
// choices this program's updates make. OK or Escape ends it.
class AboutDialog : public QDialog {
public:
    AboutDialog(const UpdateOptions& options, QWidget* owner);
};

} // namespace sparwick::app::qt
