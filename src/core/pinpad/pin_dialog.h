// The PIN entry dialog's rules. The bridge opens and closes the dialog; the
// shell reports the user's actions and the window's end through the
// PinDialog* functions below, on the user-interface thread. The shell sends
// OK only while the button is enabled (Enter included), maps Escape to
// nothing, and reports the window's destruction also when its owner takes it.
#pragma once

#include "ui/pin_view.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// The OK rule: OK is enabled exactly when minLength <= length <= maxLength.
bool PinOkAllowed(size_t length, uint8_t minLength, uint8_t maxLength);

// The open PIN entry dialog; nullptr while none exists.
PinDialogView* PinDialog();

// Creates the dialog through the shell, owned by the connection dialog when
// that is open, and sets it up: key counter 0, focus in the field, in front;
// mapped: field read-only and OK off; emulated: field editable and OK on.
// False if the shell could not create it.
bool OpenPinDialog(bool mapped);

// Destroys the open dialog, if any; the handle is cleared at once.
void ClosePinDialog();

// Applies the OK rule to the field's current text.
void ApplyPinOkRule(PinDialogView* view);

// From the shell. Calls for a view that is not the open dialog are ignored.
void PinDialogTextChanged(PinDialogView* view);  // every change of the field's text
void PinDialogOk(PinDialogView* view);           // the OK button (or Enter on it)
void PinDialogClose(PinDialogView* view);        // close box, system menu Close
void PinDialogDestroyed(PinDialogView* view);    // the window is gone, for any cause

} // namespace velmora
