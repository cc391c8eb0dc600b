#include "app/qt/AboutDialog.h"

#include "app/DialogTexts.h"
#include "app/qt/DialogGeometry.h"
#include "app/qt/DialogTemplates.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <SparwickVersion.h>

namespace sparwick::app::qt {

AboutDialog::AboutDialog(const UpdateOptions& options, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromLatin1(templates::aboutTitle));
    const DialogGeometry geometry(*this);
    geometry.size(*this, templates::aboutSize);

    auto* icon = new QLabel(this);
    // The icon at its own size, as a static icon control draws it.
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    geometry.place(*icon, templates::aboutIcon);
    icon->resize(icon->sizeHint().expandedTo(icon->size()));

    auto* product =
        new QLabel(QString::fromLatin1(templates::maker) + QString::fromUtf8(productName), this);
    product->setTextFormat(Qt::PlainText);
    geometry.place(*product, templates::productLine);

    const std::string_view notice = text::aboutNotice(options);
    auto* noticeLine =
        new QLabel(QString::fromLatin1(notice.data(), static_cast<qsizetype>(notice.size())), this);
    noticeLine->setTextFormat(Qt::PlainText);
    noticeLine->setObjectName(QStringLiteral("notice"));
    geometry.place(*noticeLine, templates::noticeLine);

    auto* ok = new QPushButton(QString::fromLatin1(templates::okButton.text), this);
    ok->setDefault(true);
    geometry.place(*ok, templates::okButton.rect);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace sparwick::app::qt
