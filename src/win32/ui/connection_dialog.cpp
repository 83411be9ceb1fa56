#include "ui/connection_dialog.h"

#include "app/tray.h"
#include "ui/dialog.h"
#include "ui/resource.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace velmora::win32 {

ConnectionDialogWindow g_connectionDialog;

namespace {

// Longest reader list entry read back; longer ones are cut.
constexpr size_t kEntryReadSize = 512;
constexpr size_t kShortTextSize = 16;

// The log and the status line are painted at most this often: painting
// them costs far more than answering a command, so a burst of commands is
// shown as it stands, not step by step. Their texts change at once.
constexpr UINT_PTR kDisplayTimer = 1;
constexpr UINT kDisplayIntervalMs = 100;

INT_PTR OnInitDialog(HWND dialog) {
    g_connectionDialog.Attach(dialog);
    PrepareLog(dialog);
    CenterOnDesktop(dialog);
    velmora::ConnectionDialogOpened(&g_connectionDialog);
    // FALSE keeps the focus on Connect, where the core put it.
    return FALSE;
}

INT_PTR OnCommand(WPARAM wParam) {
    int id = LOWORD(wParam);
    int notification = DialogNotification(id, HIWORD(wParam));
    return velmora::ConnectionDialogCommand(&g_connectionDialog, id, notification) ? TRUE : FALSE;
}

INT_PTR OnSysCommand(HWND dialog, WPARAM wParam) {
    switch (wParam & 0xFFF0) {
    case SC_MINIMIZE:
        // Minimizing closes the dialog; the tray's Open brings a new one.
        DestroyWindow(dialog);
        return TRUE;
    case SC_CLOSE:
        // The close box ends the program; the dialog goes with its owner.
        DestroyWindow(g_app.tray);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR OnDestroy(HWND dialog) {
    KillTimer(dialog, kDisplayTimer);
    if (g_connectionDialog.Window() == dialog) {
        g_connectionDialog.Attach(nullptr);
        if (velmora::ConnectionDialog() == &g_connectionDialog) velmora::SetConnectionDialog(nullptr);
    }
    return FALSE;
}

} // namespace

void PrepareLog(HWND dialog) {
    // The log keeps 100 wrapped lines of up to two 999-character texts:
    // far past an edit control's default limit, which would drop entries.
    SendDlgItemMessageA(dialog, IDC_LOG, EM_SETLIMITTEXT, 0, 0);
}

int DialogNotification(int id, int code) {
    if ((id == IDC_HOST || id == IDC_PORT) && code == EN_CHANGE) return velmora::kNotifyEditChanged;
    if (id == IDC_READERS && code == CBN_SELCHANGE) return velmora::kNotifySelChanged;
    return velmora::kNotifyNone;
}

INT_PTR CALLBACK ConnectionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return OnInitDialog(dialog);
    case WM_TIMER:
        if (wParam != kDisplayTimer) return FALSE;
        g_connectionDialog.FlushDisplay();
        return TRUE;
    case WM_COMMAND: return OnCommand(wParam);
    case WM_SYSCOMMAND: return OnSysCommand(dialog, wParam);
    case WM_DESTROY: return OnDestroy(dialog);
    default: return FALSE;
    }
}

bool OpenConnectionDialog(HINSTANCE instance, HWND owner) {
    if (g_connectionDialog.Window() == nullptr) {
        HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_CONNECTION), owner,
                                         ConnectionDialogProc, 0);
        if (dialog == nullptr) return false;
        // Stored only now: while WM_INITDIALOG ran, the core addressed the
        // dialog directly.
        velmora::SetConnectionDialog(&g_connectionDialog);
    }
    SetForegroundWindow(g_connectionDialog.Window());
    return true;
}

LRESULT ConnectionDialogWindow::Send(int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(window_, id, message, wParam, lParam);
}

void ConnectionDialogWindow::Enable(int id, bool enabled) {
    EnableWindow(GetDlgItem(window_, id), enabled ? TRUE : FALSE);
}

void ConnectionDialogWindow::DeferDisplay() {
    if (deferred_) return;
    deferred_ = true;
    Send(IDC_STATUS, WM_SETREDRAW, FALSE, 0);
    Send(IDC_LOG, WM_SETREDRAW, FALSE, 0);
    SetTimer(window_, kDisplayTimer, kDisplayIntervalMs, nullptr);
}

void ConnectionDialogWindow::FlushDisplay() {
    if (!deferred_ || window_ == nullptr) return;
    deferred_ = false;
    KillTimer(window_, kDisplayTimer);
    for (int id : {IDC_STATUS, IDC_LOG}) {
        Send(id, WM_SETREDRAW, TRUE, 0);
        RedrawWindow(GetDlgItem(window_, id), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    }
}

void ConnectionDialogWindow::SetTextIfChanged(int id, const char* text) {
    char shown[kShortTextSize];
    GetDlgItemTextA(window_, id, shown, sizeof shown);
    if (std::strcmp(shown, text) != 0) SetDlgItemTextA(window_, id, text);
}

void ConnectionDialogWindow::SetStatusText(const char* text) {
    DeferDisplay();
    SetDlgItemTextA(window_, IDC_STATUS, text);
}

void ConnectionDialogWindow::InsertLogText(size_t position, const char* text) {
    DeferDisplay();
    Send(IDC_LOG, EM_SETSEL, position, static_cast<LPARAM>(position));
    Send(IDC_LOG, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

size_t ConnectionDialogWindow::LogLineStart(int line) {
    LRESULT start = Send(IDC_LOG, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
    return start > 0 ? static_cast<size_t>(start) : 0;
}

void ConnectionDialogWindow::CutLogFrom(size_t position) {
    DeferDisplay();
    Send(IDC_LOG, EM_SETSEL, position, -1);
    Send(IDC_LOG, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

void ConnectionDialogWindow::ReadHostText(char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    GetDlgItemTextA(window_, IDC_HOST, text, static_cast<int>(size));
}

void ConnectionDialogWindow::ReadPortText(char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    GetDlgItemTextA(window_, IDC_PORT, text, static_cast<int>(size));
}

void ConnectionDialogWindow::WriteHostText(const char* text) { SetDlgItemTextA(window_, IDC_HOST, text); }
void ConnectionDialogWindow::WritePortText(const char* text) { SetDlgItemTextA(window_, IDC_PORT, text); }

void ConnectionDialogWindow::ClearReaderList() { Send(IDC_READERS, CB_RESETCONTENT, 0, 0); }

void ConnectionDialogWindow::AddReaderEntry(const char* name) {
    Send(IDC_READERS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

void ConnectionDialogWindow::SelectReaderEntry(int index) {
    Send(IDC_READERS, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int ConnectionDialogWindow::SelectedReaderEntry() {
    LRESULT index = Send(IDC_READERS, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

void ConnectionDialogWindow::ReadReaderEntry(int index, char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    if (index < 0) return;
    LRESULT length = Send(IDC_READERS, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || static_cast<size_t>(length) >= kEntryReadSize) return;
    char entry[kEntryReadSize];
    if (Send(IDC_READERS, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry)) == CB_ERR) {
        return;
    }
    std::snprintf(text, size, "%s", entry);
}

void ConnectionDialogWindow::ApplyControls(const velmora::ControlStates& s) {
    Enable(IDC_HOST, s.hostEnabled);
    Enable(IDC_PORT, s.portEnabled);
    Enable(IDC_CONNECT, s.connectEnabled);
    Enable(IDC_DISCONNECT, s.disconnectEnabled);
    Enable(IDC_READERS, s.readerListEnabled);
    Enable(IDC_OPEN, s.openEnabled);
    Enable(IDC_CLOSE, s.closeEnabled);
    // Written only when they change: every command refreshes them.
    UINT check = s.cardPresent ? BST_CHECKED : BST_UNCHECKED;
    if (IsDlgButtonChecked(window_, IDC_CARD_PRESENT) != check) CheckDlgButton(window_, IDC_CARD_PRESENT, check);
    SetTextIfChanged(IDC_PROTOCOL, s.protocol);
}

void ConnectionDialogWindow::FocusConnect() {
    SendMessageA(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_CONNECT)), TRUE);
}

void ConnectionDialogWindow::PostCommand(int id) {
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void ConnectionDialogWindow::ShowErrorBox(const char* text, const char* title) {
    MessageBoxA(window_, text, title, MB_ICONERROR);
}

} // namespace velmora::win32
