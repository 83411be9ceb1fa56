// The PIN entry dialog over Qt Widgets: a masked, digits-only PIN field and
// an OK button, modeless. The rules are the core's.
#pragma once

#include "ui/pin_view.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace velmora::qt {

class PinEntryDialog : public QDialog, public velmora::PinDialogView {
    Q_OBJECT

public:
    explicit PinEntryDialog(QWidget* owner);
    ~PinEntryDialog() override;

    QLineEdit* Field() const { return field_; }
    QPushButton* OkButton() const { return ok_; }

    size_t PinTextLength() override;
    void ReadPinText(char* text, size_t size) override;
    void WritePinText(const char* text) override;
    void SetPinReadOnly(bool readOnly) override;
    void EnableOk(bool enabled) override;
    void FocusPin() override;
    void BringToFront() override;
    void Destroy() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape does nothing

private:
    QLineEdit* field_ = nullptr;
    QPushButton* ok_ = nullptr;
    bool destroying_ = false;
};

} // namespace velmora::qt
