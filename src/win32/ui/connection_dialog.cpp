#include "ui/connection_dialog.h"

#include "app/tray.h"
#include "ui/dialog.h"
#include "ui/resource.h"

#include <cstdio>
#include <cstring>

namespace velmora::win32 {

ConnectionDialogWindow g_connectionDialog;

namespace {

// Longest reader list entry read back; longer ones are cut.
constexpr size_t kEntryReadSize = 512;

// The status line and the log reach their controls at most this often:
// writing them costs far more than answering a command (under Wine each
// write is a round trip to the window system), so a burst of commands is
// shown as it stands, not step by step.
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
    g_connectionDialog.ControlChanged(id);
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

void ConnectionDialogWindow::Attach(HWND window) {
    window_ = window;
    displayPending_ = false;
    // A new dialog's controls are empty already.
    text_.Clear();
    text_.TakeChanges();
    host_.valid = false;
    port_.valid = false;
    selectedValid_ = false;
    shownValid_ = false;
}

void ConnectionDialogWindow::ControlChanged(int id) {
    if (id == IDC_HOST) host_.valid = false;
    if (id == IDC_PORT) port_.valid = false;
    if (id == IDC_READERS) selectedValid_ = false;
    if (id == IDC_CARD_PRESENT) shownValid_ = false;
}

void ConnectionDialogWindow::ScheduleDisplay() {
    if (displayPending_ || window_ == nullptr) return;
    displayPending_ = true;
    SetTimer(window_, kDisplayTimer, kDisplayIntervalMs, nullptr);
}

void ConnectionDialogWindow::FlushDisplay() {
    if (window_ == nullptr) return;
    if (displayPending_) KillTimer(window_, kDisplayTimer);
    displayPending_ = false;
    unsigned changes = text_.TakeChanges();
    if (changes & velmora::DialogText::kStatusChanged) SetDlgItemTextA(window_, IDC_STATUS, text_.Status());
    if (changes & velmora::DialogText::kLogChanged) SetDlgItemTextA(window_, IDC_LOG, text_.Log());
}

void ConnectionDialogWindow::SetStatusText(const char* text) {
    text_.SetStatus(text);
    ScheduleDisplay();
}

void ConnectionDialogWindow::InsertLogText(size_t position, const char* text) {
    text_.InsertLog(position, text);
    ScheduleDisplay();
}

size_t ConnectionDialogWindow::LogLineStart(int line) { return text_.LogLineStart(line); }

void ConnectionDialogWindow::CutLogFrom(size_t position) {
    text_.CutLogFrom(position);
    if (text_.HasChanges()) ScheduleDisplay();
}

void ConnectionDialogWindow::ReadField(int id, FieldCopy& copy, char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    if (size > sizeof copy.text) {
        // Longer than the copy keeps: only the connect reads this much.
        GetDlgItemTextA(window_, id, text, static_cast<int>(size));
        return;
    }
    if (!copy.valid) {
        copy.text[0] = '\0';
        GetDlgItemTextA(window_, id, copy.text, static_cast<int>(sizeof copy.text));
        copy.valid = true;
    }
    size_t length = std::strlen(copy.text);
    if (length >= size) length = size - 1;
    std::memcpy(text, copy.text, length);
    text[length] = '\0';
}

void ConnectionDialogWindow::ReadHostText(char* text, size_t size) { ReadField(IDC_HOST, host_, text, size); }
void ConnectionDialogWindow::ReadPortText(char* text, size_t size) { ReadField(IDC_PORT, port_, text, size); }

// The field's change notification, sent while the text is set, takes the
// copy again.
void ConnectionDialogWindow::WriteHostText(const char* text) {
    SetDlgItemTextA(window_, IDC_HOST, text);
    host_.valid = false;
}

void ConnectionDialogWindow::WritePortText(const char* text) {
    SetDlgItemTextA(window_, IDC_PORT, text);
    port_.valid = false;
}

void ConnectionDialogWindow::ClearReaderList() {
    Send(IDC_READERS, CB_RESETCONTENT, 0, 0);
    selected_ = -1;
    selectedValid_ = true;
}

void ConnectionDialogWindow::AddReaderEntry(const char* name) {
    Send(IDC_READERS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

void ConnectionDialogWindow::SelectReaderEntry(int index) {
    LRESULT selected = Send(IDC_READERS, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    selected_ = selected == CB_ERR ? -1 : static_cast<int>(selected);
    selectedValid_ = true;
}

int ConnectionDialogWindow::SelectedReaderEntry() {
    if (!selectedValid_) {
        LRESULT index = Send(IDC_READERS, CB_GETCURSEL, 0, 0);
        selected_ = index == CB_ERR ? -1 : static_cast<int>(index);
        selectedValid_ = true;
    }
    return selected_;
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
    // Every socket and card event refreshes the controls; only a change
    // reaches them.
    const bool all = !shownValid_;
    const struct {
        int id;
        bool now;
        bool shown;
    } enables[] = {
        {IDC_HOST, s.hostEnabled, shown_.hostEnabled},
        {IDC_PORT, s.portEnabled, shown_.portEnabled},
        {IDC_CONNECT, s.connectEnabled, shown_.connectEnabled},
        {IDC_DISCONNECT, s.disconnectEnabled, shown_.disconnectEnabled},
        {IDC_READERS, s.readerListEnabled, shown_.readerListEnabled},
        {IDC_OPEN, s.openEnabled, shown_.openEnabled},
        {IDC_CLOSE, s.closeEnabled, shown_.closeEnabled},
    };
    for (const auto& e : enables) {
        if (all || e.now != e.shown) Enable(e.id, e.now);
    }
    if (all || s.cardPresent != shown_.cardPresent) {
        CheckDlgButton(window_, IDC_CARD_PRESENT, s.cardPresent ? BST_CHECKED : BST_UNCHECKED);
    }
    const char* protocol = s.protocol != nullptr ? s.protocol : "";
    if (all || std::strcmp(protocol, shownProtocol_) != 0) SetDlgItemTextA(window_, IDC_PROTOCOL, protocol);
    shown_ = s;
    std::snprintf(shownProtocol_, sizeof shownProtocol_, "%.3s", protocol);
    shown_.protocol = shownProtocol_;
    shownValid_ = true;
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
