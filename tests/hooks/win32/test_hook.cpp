// Test build only: a loopback TCP port (its number written to the file
// that VELMORA_TEST_HOOK names) takes one command per line and answers one
// line, so the end-to-end tests can press buttons, read the controls, work
// the tray menu and the dialogs, and take screenshots of the real windows.
// Its own thread only talks to the socket; every command runs on the
// user-interface thread, sent to the tray window (sent messages are served
// inside modal loops too: menus, the About dialog, message boxes).
#include "app/test_hook.h"

#include "app/tray.h"
#include "link/link.h"
#include "reader/card.h"
#include "ui/connection_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/resource.h"

#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace velmora::win32 {
namespace {

constexpr UINT WM_TEST_HOOK = WM_APP + 0x200;
constexpr UINT kSendTimeoutMs = 15000;

WNDPROC g_trayProc = nullptr;

// --- JSON ------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// As the user reads it: CR LF is one line break.
std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += Utf8(std::wstring(1, c));
        }
    }
    return out + "\"";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

std::wstring WindowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::string ComboState(HWND combo) {
    std::string items = "[";
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length > 0 ? length : 0));
        items += (i > 0 ? "," : "") + Quote(text);
    }
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return "\"items\":" + items + "],\"index\":" + std::to_string(index == CB_ERR ? -1 : index);
}

std::string ControlState(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::string out = "\"" + std::to_string(id) + "\":{\"enabled\":" + Bool(IsWindowEnabled(control));
    if (id == IDC_READERS) return out + "," + ComboState(control) + "}";
    out += ",\"text\":" + Quote(WindowText(control));
    if (id == IDC_CARD_PRESENT) out += std::string(",\"checked\":") + Bool(IsDlgButtonChecked(dialog, id) == BST_CHECKED);
    return out + "}";
}

// --- windows of the thread ------------------------------------------------

struct Search {
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindOther(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    if (!IsWindowVisible(window) || ClassName(window) != search->className) return TRUE;
    if (window == g_connectionDialog.Window() || window == g_pinDialog.Window()) return TRUE;
    search->found = window;
    return FALSE;
}

// The About dialog or a message box: a dialog that is neither of ours.
HWND ModalDialog() {
    Search search{L"#32770", nullptr};
    EnumThreadWindows(g_app.uiThread, FindOther, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND PopupMenuWindow() {
    Search search{L"#32768", nullptr};
    EnumThreadWindows(g_app.uiThread, FindOther, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) search.found = FindWindowW(L"#32768", nullptr);
    return search.found != nullptr && IsWindowVisible(search.found) ? search.found : nullptr;
}

std::wstring FromAnsi(const char* text) {
    wchar_t wide[256] = {};
    MultiByteToWideChar(1252, 0, text, -1, wide, 255);
    return wide;
}

// A message box of this process: its text on standard output, then OK.
BOOL CALLBACK CloseBox(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || ClassName(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    std::wstring text;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassName(child) == L"Static") text += WindowText(child);
    }
    std::printf("message box: %s: %s\n", Utf8(WindowText(window)).c_str(), Utf8(text).c_str());
    std::fflush(stdout);
    PostMessageW(window, WM_COMMAND, IDOK, 0);
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

void CloseBoxes() {
    for (;;) {
        bool found = false;
        EnumWindows(CloseBox, reinterpret_cast<LPARAM>(&found));
        Sleep(found ? 500 : 50);
    }
}

std::string State() {
    std::string out = "{\"link\":" + std::to_string(velmora::g_link.state);
    out += std::string(",\"tray\":") + Bool(TrayIconShown());
    out += std::string(",\"card_handle\":") + Bool(velmora::g_card.card != 0);
    out += ",\"tip\":" + Quote(FromAnsi(TrayTipText()));
    out += std::string(",\"tray_connected\":") + Bool(TrayIconConnected());
    // What the user sees within a display tick, seen now.
    g_connectionDialog.FlushDisplay();
    HWND dialog = g_connectionDialog.Window();
    out += std::string(",\"dialog\":") + Bool(dialog != nullptr);
    if (dialog != nullptr) {
        out += std::string(",\"minimized\":") + Bool(IsIconic(dialog));
        out += ",\"caption\":" + Quote(WindowText(dialog));
        out += ",\"status\":" + Quote(WindowText(GetDlgItem(dialog, IDC_STATUS)));
        out += ",\"log\":" + Quote(WindowText(GetDlgItem(dialog, IDC_LOG)));
        for (int id = IDC_HOST; id <= IDC_CLOSE; ++id) out += "," + ControlState(dialog, id);
    }
    if (HWND modal = ModalDialog()) out += ",\"modal\":" + Quote(WindowText(modal));
    return out + "}";
}

std::string MenuItems() {
    HWND window = PopupMenuWindow();
    if (window == nullptr) return "error no menu";
    auto menu = reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0));
    if (menu == nullptr) return "error no menu handle";
    std::string out = "[";
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_STATE | MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 127;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
        out += std::string(i > 0 ? "," : "") + "{\"text\":" + Quote(text) + ",\"id\":" + std::to_string(info.wID) +
               ",\"default\":" + Bool((info.fState & MFS_DEFAULT) != 0) +
               ",\"separator\":" + Bool((info.fType & MFT_SEPARATOR) != 0) + "}";
    }
    return out + "]";
}

std::string PinState() {
    HWND pin = g_pinDialog.Window();
    if (pin == nullptr) return "{\"open\":false}";
    HWND field = GetDlgItem(pin, IDC_PIN);
    LONG_PTR style = GetWindowLongPtrW(field, GWL_STYLE);
    std::string out = "{\"open\":true,\"title\":" + Quote(WindowText(pin));
    out += ",\"text\":" + Quote(WindowText(field));
    out += std::string(",\"masked\":") + Bool((style & ES_PASSWORD) != 0);
    out += std::string(",\"readonly\":") + Bool((style & ES_READONLY) != 0);
    out += std::string(",\"ok\":") + Bool(IsWindowEnabled(GetDlgItem(pin, IDOK)));
    out += std::string(",\"owned\":") + Bool(GetWindow(pin, GW_OWNER) != nullptr);
    return out + "}";
}

// --- screenshots -----------------------------------------------------------

// The window as it is on the screen, caption and frame included, as a
// 24-bit BMP.
bool Grab(HWND window, const std::string& path) {
    if (window == nullptr) return false;
    g_connectionDialog.FlushDisplay();
    SetForegroundWindow(window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    RECT r{};
    GetWindowRect(window, &r);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    size_t imageSize = stride * static_cast<size_t>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + imageSize);
    bool written = false;
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
                  std::fwrite(bits, 1, imageSize, out) == imageSize;
        written = std::fclose(out) == 0 && written;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

// --- commands ----------------------------------------------------------------

std::string Posted(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == nullptr) return "error no window";
    return PostMessageW(window, message, wParam, lParam) ? "ok" : "error post";
}

std::string Click(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr) return "error no such button";
    if (!IsWindowEnabled(button)) return "disabled";
    SendMessageW(button, BM_CLICK, 0, 0);
    return "ok";
}

std::string SetText(HWND dialog, int id, const std::string& text) {
    HWND field = GetDlgItem(dialog, id);
    if (field == nullptr || !IsWindowEnabled(field)) return "error";
    SetWindowTextA(field, text.c_str());
    return "ok";
}

std::string Select(HWND dialog, int index) {
    HWND combo = GetDlgItem(dialog, IDC_READERS);
    if (!IsWindowEnabled(combo)) return "error";
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // As the control itself reports a choice made with the mouse.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_READERS, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return "ok";
}

// A key press as the message loop hands it on: to the dialog's keyboard
// handling first, else to the control. Done here, so it has taken effect
// when the command answers.
std::string Key(HWND dialog, HWND target, WPARAM key) {
    if (dialog == nullptr || target == nullptr) return "error no window";
    MSG message{target, WM_KEYDOWN, key, 0, GetTickCount(), {}};
    if (!IsDialogMessageA(dialog, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return "ok";
}

std::string Modal(const std::string& verb) {
    HWND modal = ModalDialog();
    if (modal == nullptr) return "error no modal";
    if (verb == "modal-close") return Posted(modal, WM_SYSCOMMAND, SC_CLOSE, 0);
    HWND focus = GetDlgItem(modal, IDOK);
    if (verb == "modal-escape") return Key(modal, focus, VK_ESCAPE);
    if (verb == "modal-enter") return Key(modal, focus, VK_RETURN);
    return Click(modal, IDOK);
}

std::string TypePin(HWND pin, const std::string& keys) {
    HWND field = GetDlgItem(pin, IDC_PIN);
    for (char c : keys) SendMessageW(field, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), 0);
    return "ok";
}

std::string Pin(const std::string& verb, const std::string& rest) {
    if (verb == "pin-state") return PinState();
    HWND pin = g_pinDialog.Window();
    if (pin == nullptr) return "error no pin dialog";
    HWND field = GetDlgItem(pin, IDC_PIN);
    if (verb == "pin-type") return TypePin(pin, rest);
    if (verb == "pin-ok") return Click(pin, IDOK);
    if (verb == "pin-key" && rest == "backspace") return TypePin(pin, "\b");
    if (verb == "pin-key" && rest == "enter") return Key(pin, field, VK_RETURN);
    if (verb == "pin-key" && rest == "escape") return Key(pin, field, VK_ESCAPE);
    if (verb == "pin-close") return Posted(pin, WM_SYSCOMMAND, SC_CLOSE, 0);
    // The OK command as the dialog manager sends it for Enter, whether or
    // not the button is enabled.
    if (verb == "pin-idok") return SendMessageW(pin, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(pin)), "ok";
    if (verb == "grab-pin") return Grab(pin, rest) ? "ok" : "error";
    return "error unknown command";
}

std::string DialogCommand(const std::string& verb, const std::string& rest) {
    HWND dialog = g_connectionDialog.Window();
    if (dialog == nullptr) return "error no dialog";
    if (verb == "click") return Click(dialog, std::atoi(rest.c_str()));
    if (verb == "set") {
        size_t blank = rest.find(' ');
        std::string text = blank == std::string::npos ? "" : rest.substr(blank + 1);
        return SetText(dialog, std::atoi(rest.c_str()), text);
    }
    if (verb == "select") return Select(dialog, std::atoi(rest.c_str()));
    // Minimizing closes the dialog to the tray.
    if (verb == "minimize" || verb == "close-to-tray") return Posted(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    if (verb == "close-box") return Posted(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (verb == "key") {
        // At the control with the focus, or in the host field if none has it.
        HWND focus = GetFocus();
        if (focus == nullptr || !IsChild(dialog, focus)) focus = GetDlgItem(dialog, IDC_HOST);
        return Key(dialog, focus, rest == "escape" ? VK_ESCAPE : VK_RETURN);
    }
    if (verb == "grab") return Grab(dialog, rest) ? "ok" : "error";
    return "error unknown command";
}

std::string Run(const std::string& line) {
    size_t blank = line.find(' ');
    std::string verb = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    HWND tray = g_app.tray;
    if (verb == "state") return State();
    if (verb == "flush-display") return g_connectionDialog.FlushDisplay(), "ok";
    if (verb == "tray-open") return Posted(tray, WM_COMMAND, ID_TRAY_OPEN, 0);
    if (verb == "tray-about") return Posted(tray, WM_COMMAND, ID_TRAY_ABOUT, 0);
    if (verb == "tray-exit") return Posted(tray, WM_COMMAND, ID_TRAY_EXIT, 0);
    if (verb == "tray-dblclick") return Posted(tray, WM_APP_TRAY, 0, WM_LBUTTONDBLCLK);
    if (verb == "tray-click") return Posted(tray, WM_APP_TRAY, 0, WM_LBUTTONUP);
    if (verb == "tray-menu") return Posted(tray, WM_APP_TRAY, 0, WM_RBUTTONUP);
    if (verb == "menu-items") return MenuItems();
    if (verb == "menu-close") return EndMenu() ? "ok" : "error";
    if (verb.rfind("modal", 0) == 0) return Modal(verb);
    if (verb == "grab-modal") return Grab(ModalDialog(), rest) ? "ok" : "error";
    if (verb.rfind("pin-", 0) == 0 || verb == "grab-pin") return Pin(verb, rest);
    return DialogCommand(verb, rest);
}

struct Request {
    const std::string* line;
    std::string answer;
};

LRESULT CALLBACK HookedTrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TEST_HOOK) {
        auto* request = reinterpret_cast<Request*>(lParam);
        request->answer = Run(*request->line);
        return 1;
    }
    LRESULT result = CallWindowProcW(g_trayProc, window, message, wParam, lParam);
    if (message == WM_DESTROY) {
        // The tests read this after the process has ended.
        std::printf("exit: tray icon %s\n", TrayIconShown() ? "still shown" : "removed");
        std::fflush(stdout);
    }
    return result;
}

// --- the channel ---------------------------------------------------------------

std::string Ask(const std::string& line) {
    Request request{&line, {}};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(g_app.tray, WM_TEST_HOOK, 0, reinterpret_cast<LPARAM>(&request), SMTO_NORMAL,
                             kSendTimeoutMs, &result)) {
        return "error timeout";
    }
    return request.answer;
}

// "menu": the real tray menu, shown by the right button as the user
// would, read, and closed again.
std::string Menu() {
    Ask("tray-menu");
    for (int i = 0; i < 500; ++i) {
        std::string items = Ask("menu-items");
        if (items.rfind("error", 0) != 0) {
            Ask("menu-close");
            return items;
        }
        Sleep(10);
    }
    return "error menu not shown";
}

// Painted first, then given time to reach the screen: Wine hands a
// window's drawing to the X server while the user-interface thread waits
// for messages, not at once.
std::string Screenshot(const std::string& line) {
    Ask("flush-display");
    Sleep(300);
    return Ask(line);
}

void Serve(SOCKET client) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string answer = (line == "menu" ? Menu() : line.rfind("grab", 0) == 0 ? Screenshot(line) : Ask(line)) + "\n";
            send(client, answer.data(), static_cast<int>(answer.size()), 0);
        }
    }
    closesocket(client);
}

void Listen(SOCKET listener) {
    for (;;) {
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::thread(Serve, client).detach();
    }
}

bool StartChannel(const char* portFile) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    std::string partial = std::string(portFile) + ".part";
    FILE* file = std::fopen(partial.c_str(), "w");
    if (file == nullptr) return false;
    std::fprintf(file, "%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fclose(file);
    MoveFileExA(partial.c_str(), portFile, MOVEFILE_REPLACE_EXISTING);
    std::thread(Listen, listener).detach();
    return true;
}

} // namespace

const char* TestInstanceTag() {
    const char* tag = std::getenv("VELMORA_TEST_INSTANCE");
    return tag != nullptr && *tag != '\0' ? tag : nullptr;
}

void WatchMessageBoxes() {
    const char* on = std::getenv("VELMORA_TEST_CLOSE_BOXES");
    if (on != nullptr && *on != '\0') std::thread(CloseBoxes).detach();
}

void InstallTestHook(HWND tray) {
    // Tests run their server on a private port; the dialog opens with it.
    if (const char* port = std::getenv("VELMORA_TEST_PORT")) {
        long value = std::atol(port);
        if (value > 0 && value < 65536) velmora::g_link.port = static_cast<uint16_t>(value);
    }
    // A dead path found within this many milliseconds, so tests need not wait 30 s.
    if (const char* keepalive = std::getenv("VELMORA_TEST_KEEPALIVE_MS")) {
        long value = std::atol(keepalive);
        if (value > 0) velmora::SetKeepaliveTimers(velmora::KeepaliveWithin(static_cast<uint32_t>(value)));
    }
    const char* portFile = std::getenv("VELMORA_TEST_HOOK");
    if (portFile == nullptr || *portFile == '\0') return;
    g_trayProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(tray, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HookedTrayProc)));
    if (!StartChannel(portFile)) std::fprintf(stderr, "test hook: cannot listen\n");
}

} // namespace velmora::win32
