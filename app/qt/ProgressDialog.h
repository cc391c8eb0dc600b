#pragma once

#include "app/DialogUpdate.h"

#include <QDialog>

class QLabel;
class QProgressBar;

namespace sparwick::app::qt {

// The modeless, always-on-top window that an update reports its progress to, over the main
// dialog. The update holds the only thread, so every report paints this window and the
// main dialog behind it on the spot. An update that verifies runs the bar a second time,
// from 0, while it reads the flash back.
class ProgressDialog : public QDialog, public DialogProgress {
public:
    explicit ProgressDialog(QWidget* mainDialog);

    void setProgress(int percent) override;
    void setVerifyProgress(int percent) override;

    // Shows the window and paints it at once.
    void showNow();
    void showWindow() override { showNow(); }
    void hideWindow() override { hide(); }

    QString message() const;
    int position() const;

protected:
    // The window goes when the update has ended, not before.
    void reject() override {}

private:
    void repaintNow();

    QLabel* text;
    QProgressBar* bar;
    bool verifying = false;
};

} // namespace sparwick::app::qt
