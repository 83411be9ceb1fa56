// The PIN entry dialog as the core sees it: a PIN field (digits only, shown
// masked) and an OK button. Each shell implements this over its own widgets;
// the rules live in pinpad/pin_dialog.h. The core decides, the view applies.
#pragma once

#include <cstddef>

namespace velmora {

class PinDialogView {
public:
    // Number of characters in the PIN field.
    virtual size_t PinTextLength() = 0;
    // The PIN field's text, cut to size - 1 characters and terminated.
    virtual void ReadPinText(char* text, size_t size) = 0;
    // Replaces the PIN field's text. The core applies the OK rule itself
    // afterwards, so a change notification for this write is optional.
    virtual void WritePinText(const char* text) = 0;
    virtual void SetPinReadOnly(bool readOnly) = 0;
    virtual void EnableOk(bool enabled) = 0;
    virtual void FocusPin() = 0;
    virtual void BringToFront() = 0;
    // Destroys the window. The shell reports it with PinDialogDestroyed as
    // for any other destruction; the core no longer uses the view after this.
    virtual void Destroy() = 0;

protected:
    ~PinDialogView() = default;
};

} // namespace velmora
