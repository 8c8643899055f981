#include "ui/kvr_about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "foundation/kvr_build.h"
#include "ui/kvr_dialog_template.h"

QIcon kvr_app_icon() {
    return QIcon(QStringLiteral(":/busprobe/busprobe.png"));
}

kvr_about_dlg::kvr_about_dlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kvr_txt_about_title));
    const QFont font = kvr_dialog_font(true);
    setFont(font);
    const kvr_dialog_units du(font);
    setFixedSize(du.x(kvr_about_dlg_w), du.y(kvr_about_dlg_h));

    auto* icon = new QLabel(this);
    icon->setPixmap(kvr_app_icon().pixmap(32, 32));
    icon->move(du.x(11), du.y(17));
    icon->resize(32, 32);

    auto* version = new QLabel(QString::fromUtf8(kvr_txt_about_version), this);
    version->setGeometry(du.rect(40, 10, 119, 8));
    auto* rights = new QLabel(QStringLiteral("Free software, provided as is, without warranty."), this);
    rights->setGeometry(du.rect(63, 25, 190, 8));
    // The release of the programs and the package, below the box's own text.
    auto* release = new QLabel(QStringLiteral("Release " BUSPROBE_VERSION), this);
    release->setGeometry(du.rect(63, 37, 190, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(du.rect(202, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
