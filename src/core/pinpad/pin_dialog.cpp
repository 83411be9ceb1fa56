#include "pinpad/pin_dialog.h"

#include "app/shell.h"
#include "pinpad/state.h"
#include "reader/card.h"
#include "ui/view.h"

namespace velmora {

PinDialogView* Shell::CreatePinDialog(ConnectionDialogView*) { return nullptr; }

bool PinOkAllowed(size_t length, uint8_t minLength, uint8_t maxLength) {
    return minLength <= length && length <= maxLength;
}

PinDialogView* PinDialog() { return g_pinpad.dialog; }

bool OpenPinDialog(bool mapped) {
    Shell* shell = CurrentShell();
    PinDialogView* view = shell != nullptr ? shell->CreatePinDialog(ConnectionDialog()) : nullptr;
    if (view == nullptr) return false;
    g_pinpad.dialog = view;
    // The dialog's own initialisation first, then the bridge's starting states.
    g_pinpad.keyCounter = 0;
    view->FocusPin();
    view->EnableOk(false);
    view->BringToFront();
    view->SetPinReadOnly(mapped);
    view->EnableOk(!mapped);
    return true;
}

void ClosePinDialog() {
    PinDialogView* view = g_pinpad.dialog;
    if (view == nullptr) return;
    // Cleared first: the view reports its destruction from inside Destroy.
    g_pinpad.dialog = nullptr;
    view->Destroy();
}

void ApplyPinOkRule(PinDialogView* view) {
    view->EnableOk(PinOkAllowed(view->PinTextLength(), g_pinpad.minLength, g_pinpad.maxLength));
}

void PinDialogTextChanged(PinDialogView* view) {
    if (view != nullptr && view == g_pinpad.dialog) ApplyPinOkRule(view);
}

void PinDialogOk(PinDialogView* view) {
    if (view == nullptr || view != g_pinpad.dialog) return;
    // The key counter stays, so that the next emulated finish sends this PIN.
    // An entry that has already ended (finished or aborted while the dialog
    // stayed open) will send nothing: the PIN is not kept at all.
    if (g_pinpad.keyCounter >= 0) {
        view->ReadPinText(g_pinpad.pin, sizeof g_pinpad.pin);
        g_pinpad.pin[kPinTextSize - 1] = '\0';
        g_pinpad.confirmed = true;
    }
    ClosePinDialog();
}

void PinDialogClose(PinDialogView* view) {
    if (view == nullptr || view != g_pinpad.dialog) return;
    g_pinpad.keyCounter = kNoEntry;  // a following emulated finish is refused
    g_pinpad.confirmed = false;
    ClosePinDialog();
    if (g_card.features.abort == 0) return;
    // The reader's own entry ends now; nobody waits for its answer.
    DWORD returned = 0;
    SCardControl(g_card.card, g_card.features.abort, nullptr, 0, nullptr, 0, &returned);
}

void PinDialogDestroyed(PinDialogView* view) {
    if (view != nullptr && view == g_pinpad.dialog) g_pinpad.dialog = nullptr;
}

} // namespace velmora
