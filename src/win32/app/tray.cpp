#include "app/tray.h"

#include "app/client.h"
#include "app/win32_shell.h"
#include "ui/connection_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/resource.h"
#include "ui/view.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace velmora::win32 {

AppHandles g_app;

namespace {

bool g_trayIconShown = false;
char g_tip[kTrayTipSize] = "Velmora Client";
bool g_tipConnected = false;
HICON g_shownIcon = nullptr;

void ModifyTrayIcon(HWND window, const char* tip, HICON icon) {
    NOTIFYICONDATAA data;
    FillTrayIconData(&data, tip, window, icon);
    Shell_NotifyIconA(NIM_MODIFY, &data);
}

LRESULT OnReconnectTimer(HWND window) {
    KillTimer(window, kReconnectTimerId);
    velmora::ReconnectTimerFired();
    velmora::RefreshDialogControls(velmora::ConnectionDialog());
    return 0;
}

void OnCommandOpen(HWND window) {
    if (!OpenConnectionDialog(g_app.instance, window)) ShowError(window, "CreateDialog() failed");
}

// A later start of the client asks for the dialog and ends.
LRESULT OnShowRequest(HWND window) {
    OnCommandOpen(window);
    HWND dialog = g_connectionDialog.Window();
    if (dialog != nullptr && IsIconic(dialog)) ShowWindow(dialog, SW_RESTORE);
    if (dialog != nullptr) SetForegroundWindow(dialog);
    return 0;
}

LRESULT OnCreate(HWND window) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        MessageBoxA(window, "WSAStartup(2,0) failed in WM_CREATE", "Info", MB_ICONERROR);
        return -1;  // refuses the window
    }
    g_network.SetWindow(window, WM_APP_RESOLVED, WM_APP_CONNECTED, WM_APP_SOCKET);
    SetTrayIcon("Velmora Client", window, NIM_ADD);
    return 0;
}

LRESULT OnDestroy(HWND window) {
    SetTrayIcon("Exit", window, NIM_DELETE);
    // Stops the monitor, releases the PC/SC context, closes the socket.
    velmora::ClientShutdown();
    WSACleanup();
    PostQuitMessage(0);
    return 0;
}

void ShowTrayMenu(HWND window) {
    HMENU menu = LoadMenuA(g_app.instance, MAKEINTRESOURCEA(IDM_TRAY));
    if (menu == nullptr) return;
    HMENU popup = GetSubMenu(menu, 0);
    SetMenuDefaultItem(popup, 0, TRUE);
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without this the menu stays open when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(popup, 0, cursor.x, cursor.y, 0, window, nullptr);
    DestroyMenu(menu);
}

LRESULT OnTrayIcon(HWND window, LPARAM lParam) {
    if (lParam == WM_LBUTTONDBLCLK) SendMessageA(window, WM_COMMAND, ID_TRAY_OPEN, 0);
    if (lParam == WM_RBUTTONUP) ShowTrayMenu(window);
    return 0;
}

LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case ID_TRAY_OPEN:
        OnCommandOpen(window);
        return 0;
    case ID_TRAY_EXIT:
        DestroyWindow(window);
        return 0;
    case ID_TRAY_ABOUT:
        DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutDialogProc, 0);
        return 0;
    default:
        return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
    }
}

// The handlers of 1026 to 1029 end with the controls brought up to date.
LRESULT Refreshed() {
    velmora::RefreshDialogControls(velmora::ConnectionDialog());
    return 1;
}

} // namespace

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: return OnCreate(window);
    case WM_DESTROY: return OnDestroy(window);
    case WM_COMMAND: return OnCommand(window, wParam, lParam);
    case WM_APP_TRAY: return OnTrayIcon(window, lParam);
    case WM_APP_RESOLVED: g_network.OnLookupDone(wParam, lParam); return Refreshed();
    case WM_APP_CONNECTED: g_network.OnConnectDone(wParam, lParam); return Refreshed();
    case WM_APP_SOCKET: g_network.OnSocketEvent(wParam, lParam); return Refreshed();
    case WM_APP_CARD_EVENT: g_shell.HandleQueuedCardEvents(); return Refreshed();
    case WM_TIMER:
        if (wParam == kReconnectTimerId) return OnReconnectTimer(window);
        return DefWindowProcA(window, message, wParam, lParam);
    default:
        if (message != 0 && message == g_app.showMessage) return OnShowRequest(window);
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        CenterOnDesktop(dialog);
        return TRUE;
    case WM_COMMAND:
        // OK and Enter end it; Escape's cancel is taken and does nothing.
        if (LOWORD(wParam) == IDOK) EndDialog(dialog, 0);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

void FillTrayIconData(NOTIFYICONDATAA* data, const char* tip, HWND window, HICON icon) {
    std::memset(data, 0, sizeof *data);
    data->cbSize = sizeof *data;
    data->hWnd = window;
    data->uID = 0;
    data->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data->uCallbackMessage = WM_APP_TRAY;
    data->hIcon = icon;
    if (tip != nullptr) std::strncpy(data->szTip, tip, sizeof data->szTip);
    data->szTip[127] = '\0';
}

void SetTrayIcon(const char* tip, HWND window, DWORD operation) {
    NOTIFYICONDATAA data;
    FillTrayIconData(&data, tip, window, g_app.trayIcon);
    BOOL done = Shell_NotifyIconA(operation, &data);
    if (done && operation == NIM_ADD) g_trayIconShown = true;
    if (done && operation == NIM_DELETE) g_trayIconShown = false;
}

bool TrayIconShown() { return g_trayIconShown; }

void UpdateTrayStatus() {
    if (g_app.tray == nullptr) return;
    char tip[kTrayTipSize];
    velmora::FormatTrayTip(tip, sizeof tip);
    bool connected = velmora::TrayShowsConnected();
    HICON icon = connected || g_app.trayIconGrey == nullptr ? g_app.trayIcon : g_app.trayIconGrey;
    // Called after every command too: the tray is touched only on a change.
    if (std::strcmp(tip, g_tip) == 0 && icon == g_shownIcon) return;
    std::memcpy(g_tip, tip, sizeof g_tip);
    g_tipConnected = connected;
    g_shownIcon = icon;
    ModifyTrayIcon(g_app.tray, g_tip, icon);
}

const char* TrayTipText() { return g_tip; }
bool TrayIconConnected() { return g_tipConnected; }

HICON MakeGreyIcon(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info)) return nullptr;
    HICON grey = nullptr;
    BITMAP bitmap{};
    if (info.hbmColor != nullptr && GetObjectA(info.hbmColor, sizeof bitmap, &bitmap) != 0) {
        BITMAPINFO format{};
        format.bmiHeader.biSize = sizeof format.bmiHeader;
        format.bmiHeader.biWidth = bitmap.bmWidth;
        format.bmiHeader.biHeight = -bitmap.bmHeight;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        constexpr int kMaxSide = 256;
        static DWORD pixels[kMaxSide * kMaxSide];
        int count = bitmap.bmWidth * bitmap.bmHeight;
        HDC screen = GetDC(nullptr);
        if (bitmap.bmWidth <= kMaxSide && bitmap.bmHeight <= kMaxSide &&
            GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(bitmap.bmHeight), pixels, &format,
                      DIB_RGB_COLORS) != 0) {
            for (int i = 0; i < count; ++i) {
                DWORD p = pixels[i];
                DWORD g = (((p >> 16) & 0xFF) * 30 + ((p >> 8) & 0xFF) * 59 + (p & 0xFF) * 11) / 100;
                DWORD alpha = (p >> 24) / 2;
                pixels[i] = (alpha << 24) | (g << 16) | (g << 8) | g;
            }
            HBITMAP greyColor = CreateCompatibleBitmap(screen, bitmap.bmWidth, bitmap.bmHeight);
            SetDIBits(screen, greyColor, 0, static_cast<UINT>(bitmap.bmHeight), pixels, &format, DIB_RGB_COLORS);
            ICONINFO greyInfo = info;
            greyInfo.hbmColor = greyColor;
            grey = CreateIconIndirect(&greyInfo);
            DeleteObject(greyColor);
        }
        ReleaseDC(nullptr, screen);
    }
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    return grey;
}

void ShowError(HWND owner, const char* format, ...) {
    char text[kErrorTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    MessageBoxA(owner, text, "Message", MB_SYSTEMMODAL | MB_ICONERROR);
}

POINT CenteredOrigin(const RECT& desktop, const RECT& window) {
    POINT origin;
    origin.x = (desktop.left + desktop.right - (window.right - window.left)) / 2;
    origin.y = (desktop.top + desktop.bottom - (window.bottom - window.top)) / 2;
    return origin;
}

void CenterOnDesktop(HWND dialog) {
    RECT window{};
    RECT desktop{};
    GetWindowRect(dialog, &window);
    GetWindowRect(GetDesktopWindow(), &desktop);
    POINT origin = CenteredOrigin(desktop, window);
    SetWindowPos(dialog, HWND_TOP, origin.x, origin.y, 0, 0, SWP_NOSIZE);
}

int RunMessageLoop() {
    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) == 1) {
        // The socket, lookup and card messages go to the tray window, which
        // is no dialog's: asking the dialogs about them is a window-system
        // request per command for a certain no.
        if (message.hwnd != nullptr && message.hwnd == g_app.tray) {
            DispatchMessageA(&message);
            continue;
        }
        // Both handles afresh: either dialog may have come or gone meanwhile.
        HWND connection = g_connectionDialog.Window();
        if (connection != nullptr && IsDialogMessageA(connection, &message)) continue;
        HWND pin = g_pinDialog.Window();
        if (pin != nullptr && IsDialogMessageA(pin, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

} // namespace velmora::win32
