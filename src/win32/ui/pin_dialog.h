// The PIN entry dialog over template 107: modeless, owned by the connection
// dialog when that is open. Its procedure reports text changes, OK, the
// close request and its destruction to the core's PinDialog* functions.
#pragma once

#include "ui/pin_view.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velmora::win32 {

class PinDialogWindow final : public velmora::PinDialogView {
public:
    HWND Window() const { return window_; }
    void Attach(HWND window) { window_ = window; }

    size_t PinTextLength() override;
    void ReadPinText(char* text, size_t size) override;
    void WritePinText(const char* text) override;
    void SetPinReadOnly(bool readOnly) override;
    void EnableOk(bool enabled) override;
    void FocusPin() override;
    void BringToFront() override;
    void Destroy() override;

private:
    HWND window_ = nullptr;
};

// The one PIN entry dialog; its window is none while it is closed.
extern PinDialogWindow g_pinDialog;

// Creates the dialog owned by owner (none for no owner); nullptr if it
// cannot be created or one is open already.
velmora::PinDialogView* CreatePinDialogWindow(HINSTANCE instance, HWND owner);

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace velmora::win32
