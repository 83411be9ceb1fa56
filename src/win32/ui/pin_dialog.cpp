#include "ui/pin_dialog.h"

#include "pinpad/pin_dialog.h"
#include "ui/resource.h"

namespace velmora::win32 {

PinDialogWindow g_pinDialog;

namespace {

INT_PTR OnCommand(HWND dialog, WPARAM wParam) {
    int id = LOWORD(wParam);
    if (id == IDOK) {
        // Enter reaches here too: only while the button is enabled is it OK.
        if (IsWindowEnabled(GetDlgItem(dialog, IDOK))) velmora::PinDialogOk(&g_pinDialog);
        return TRUE;
    }
    if (id == IDC_PIN && HIWORD(wParam) == EN_CHANGE) {
        velmora::PinDialogTextChanged(&g_pinDialog);
        return TRUE;
    }
    return id == IDCANCEL ? TRUE : FALSE;  // Escape does nothing
}

INT_PTR OnSysCommand(WPARAM wParam) {
    if ((wParam & 0xFFF0) != SC_CLOSE) return FALSE;
    velmora::PinDialogClose(&g_pinDialog);
    return TRUE;
}

INT_PTR OnDestroy(HWND dialog) {
    if (g_pinDialog.Window() != dialog) return FALSE;
    g_pinDialog.Attach(nullptr);
    velmora::PinDialogDestroyed(&g_pinDialog);
    return FALSE;
}

} // namespace

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: g_pinDialog.Attach(dialog); return TRUE;
    case WM_COMMAND: return OnCommand(dialog, wParam);
    case WM_SYSCOMMAND: return OnSysCommand(wParam);
    case WM_DESTROY: return OnDestroy(dialog);
    default: return FALSE;
    }
}

velmora::PinDialogView* CreatePinDialogWindow(HINSTANCE instance, HWND owner) {
    if (g_pinDialog.Window() != nullptr) return nullptr;
    HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PIN_ENTRY), owner, PinDialogProc, 0);
    return dialog != nullptr ? &g_pinDialog : nullptr;
}

size_t PinDialogWindow::PinTextLength() {
    LRESULT length = SendDlgItemMessageA(window_, IDC_PIN, WM_GETTEXTLENGTH, 0, 0);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

void PinDialogWindow::ReadPinText(char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    GetDlgItemTextA(window_, IDC_PIN, text, static_cast<int>(size));
}

void PinDialogWindow::WritePinText(const char* text) { SetDlgItemTextA(window_, IDC_PIN, text); }

void PinDialogWindow::SetPinReadOnly(bool readOnly) {
    SendDlgItemMessageA(window_, IDC_PIN, EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
}

void PinDialogWindow::EnableOk(bool enabled) { EnableWindow(GetDlgItem(window_, IDOK), enabled ? TRUE : FALSE); }

void PinDialogWindow::FocusPin() {
    SendMessageA(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_PIN)), TRUE);
}

void PinDialogWindow::BringToFront() { SetForegroundWindow(window_); }

void PinDialogWindow::Destroy() { DestroyWindow(window_); }

} // namespace velmora::win32
