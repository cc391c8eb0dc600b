#include "app/qt/DialogMessageBox.h"

#include <QMessageBox>

namespace sparwick::app::qt {

void showDialogMessageBox(QWidget* mainDialog, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("sparwick"),
                    QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok, mainDialog);
    // Over the progress dialog, which stays on top of the main dialog: a box behind it
    // would hide the one button that ends the update.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace sparwick::app::qt
