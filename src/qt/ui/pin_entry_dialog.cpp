#include "ui/pin_entry_dialog.h"

#include "pinpad/pin_dialog.h"
#include "ui/cp1252.h"
#include "ui/dialog_units.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>

namespace velmora::qt {

PinEntryDialog::PinEntryDialog(QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("PIN Entry"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(false);
    QFont dialogFont = font();
    dialogFont.setPointSize(10);
    setFont(dialogFont);
    DialogUnits du(dialogFont);
    setFixedSize(du.X(135), du.Y(26));

    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("pin"));
    field_->setEchoMode(QLineEdit::Password);
    field_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field_));
    du.Place(field_, 7, 7, 66, 12);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    du.Place(ok_, 80, 7, 48, 12);
    setTabOrder(field_, ok_);

    connect(field_, &QLineEdit::textChanged, this, [this] { velmora::PinDialogTextChanged(this); });
    // Enter reaches OK only while it is enabled, as a default button does.
    connect(ok_, &QPushButton::clicked, this, [this] { velmora::PinDialogOk(this); });

    QWidget* anchor = owner != nullptr ? owner : nullptr;
    QRect area = anchor != nullptr ? anchor->geometry()
                                   : (screen() != nullptr ? screen()->geometry() : QRect());
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

PinEntryDialog::~PinEntryDialog() { velmora::PinDialogDestroyed(this); }

size_t PinEntryDialog::PinTextLength() { return static_cast<size_t>(field_->text().size()); }

void PinEntryDialog::ReadPinText(char* text, size_t size) { ToCp1252(field_->text(), text, size); }

void PinEntryDialog::WritePinText(const char* text) {
    QSignalBlocker block(field_);
    field_->setText(FromCp1252(text));
}

void PinEntryDialog::SetPinReadOnly(bool readOnly) { field_->setReadOnly(readOnly); }
void PinEntryDialog::EnableOk(bool enabled) { ok_->setEnabled(enabled); }
void PinEntryDialog::FocusPin() { field_->setFocus(); }

void PinEntryDialog::BringToFront() {
    show();
    raise();
    activateWindow();
}

void PinEntryDialog::Destroy() {
    if (destroying_) return;
    destroying_ = true;
    hide();
    deleteLater();
}

void PinEntryDialog::closeEvent(QCloseEvent* event) {
    // The close box cancels; the core decides and destroys the window.
    event->ignore();
    if (!destroying_) velmora::PinDialogClose(this);
}

void PinEntryDialog::reject() {}

} // namespace velmora::qt
