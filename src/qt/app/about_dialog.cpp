#include "app/about_dialog.h"

#include "ui/dialog_units.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace velmora::qt {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("about Velmora Client"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont dialogFont = font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    DialogUnits du(dialogFont);
    setFixedSize(du.X(187), du.Y(94));
    auto* name = new QLabel(QStringLiteral("Velmora Client"), this);
    name->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    du.Place(name, 7, 7, 173, 17);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    du.Place(ok, 61, 72, 51, 15);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, [this] { done(0); });
    if (QScreen* screen = this->screen()) {
        QRect desk = screen->geometry();
        move(desk.x() + (desk.width() - width()) / 2, desk.y() + (desk.height() - height()) / 2);
    }
}

void AboutDialog::reject() {}

void AboutDialog::closeEvent(QCloseEvent* event) {
    event->accept();
    done(1);
}

} // namespace velmora::qt
