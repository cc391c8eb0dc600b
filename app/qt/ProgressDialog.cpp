#include "app/qt/ProgressDialog.h"

#include "app/DialogTexts.h"
#include "app/qt/DialogGeometry.h"
#include "app/qt/DialogTemplates.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

namespace sparwick::app::qt {

ProgressDialog::ProgressDialog(QWidget* mainDialog)
    // A caption and no close button, above every other window.
    : QDialog(mainDialog,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint)
    , text(new QLabel(QString::fromLatin1(templates::progressMessage.text), this))
    , bar(new QProgressBar(this)) {
    setWindowTitle(QString::fromLatin1(templates::progressTitle));
    const DialogGeometry geometry(*this);
    geometry.size(*this, templates::progressSize);
    geometry.place(*text, templates::progressMessage.rect);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    geometry.place(*bar, templates::progressBar);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
}

void ProgressDialog::setProgress(int percent) {
    bar->setValue(percent);
    repaintNow();
}

void ProgressDialog::setVerifyProgress(int percent) {
    if (!verifying) {
        verifying = true;
        text->setText(QString::fromLatin1(text::verifying.data(),
                                          static_cast<qsizetype>(text::verifying.size())));
    }
    bar->setValue(percent);
    repaintNow();
}

void ProgressDialog::showNow() {
    show();
    repaintNow();
}

QString ProgressDialog::message() const {
    return text->text();
}

int ProgressDialog::position() const {
    return bar->value();
}

void ProgressDialog::repaintNow() {
    repaint();
    if (QWidget* owner = parentWidget()) {
        owner->repaint();
    }
    // The window system's own traffic, and nothing the user does (input stays queued): a
    // window is drawn only once it has been exposed, and a window manager that pings the
    // program must get its answer, or it greys the windows as hung.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace sparwick::app::qt
