#pragma once

#include "flash/UpdateOptions.h"

#include <QDialog>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QPushButton;

namespace sparwick::app::qt {

class ProgressDialog;

// The main dialog: the COM port and the speed, "Update Software", and Cancel, which ends
// the program. An update runs inside the button's handler, from the progress dialog's
// appearance to the message that ends it. The About item is in the dialog's context menu
// and on F1, since on Linux the window manager owns the title bar's menu.
class UpdaterDialog : public QDialog {
public:
    // ports: the COM names present (the port list), in any order.
    UpdaterDialog(const std::vector<std::string>& ports, const UpdateOptions& options);
    ~UpdaterDialog() override;

    QComboBox& portBox() const { return *ports; }
    QComboBox& speedBox() const { return *speeds; }
    QPushButton& updateButton() const { return *update; }
    QAction& aboutAction() const { return *about; }
    // The progress dialog while an update runs; null otherwise.
    ProgressDialog* progressDialog() const { return progress; }

public:
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void fillPortBox(std::vector<std::string> names);
    void updateSoftware();
    void showAbout();

    UpdateOptions updateOptions;
    QComboBox* ports;
    QComboBox* speeds;
    QPushButton* update;
    QPushButton* cancel;
    QAction* about;
    ProgressDialog* progress = nullptr;
};

} // namespace sparwick::app::qt
