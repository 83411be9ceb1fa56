// The tray window and what hangs off it: the application's window messages
// and command ids, the tray icon, the error box, the About dialog, centring,
// and the one message loop.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shellapi.h>

namespace velmora::win32 {

// Posted or sent to the tray window.
constexpr UINT WM_APP_TRAY = WM_USER + 1;        // 1025, the tray icon's callback
constexpr UINT WM_APP_RESOLVED = WM_USER + 2;    // 1026, a host lookup finished
constexpr UINT WM_APP_CONNECTED = WM_USER + 3;   // 1027, a connect finished
constexpr UINT WM_APP_SOCKET = WM_USER + 4;      // 1028, socket readable, writable or closed
constexpr UINT WM_APP_CARD_EVENT = WM_USER + 5;  // 1029, card events are queued

constexpr char kTrayClassName[] = "InvisibleWndClass";
constexpr UINT_PTR kReconnectTimerId = 1;
constexpr size_t kTrayTipSize = 128;  // the notification area's limit
constexpr size_t kErrorTextSize = 1000;  // 999 characters and the terminator

// Process-wide handles, written on the user-interface thread only.
struct AppHandles {
    HINSTANCE instance;
    HICON classIcon;
    HICON classIconSmall;
    HICON trayIcon;
    HICON trayIconGrey;  // "not connected" when the tray shows the status
    UINT showMessage;    // a later start asks for the connection dialog
    HWND tray;
    DWORD uiThread;
};
extern AppHandles g_app;

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the tray icon record; the tip is cut to 127 characters.
void FillTrayIconData(NOTIFYICONDATAA* data, const char* tip, HWND window, HICON icon);
void SetTrayIcon(const char* tip, HWND window, DWORD operation);
// Whether the icon is in the notification area, as the shell last answered.
bool TrayIconShown();

// The tip and icon from the core's link and card state; only on a change.
void UpdateTrayStatus();
const char* TrayTipText();
bool TrayIconConnected();
// The same icon, greyed and half transparent; nullptr if it cannot be made.
HICON MakeGreyIcon(HICON icon);

// printf-style error box, cut at 999 characters.
void ShowError(HWND owner, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Where a window of the given size goes to be centred on the desktop.
POINT CenteredOrigin(const RECT& desktop, const RECT& window);
void CenterOnDesktop(HWND dialog);

// Offers every message to the connection dialog, then to the PIN entry
// dialog, then dispatches it. Returns the quit message's wParam.
int RunMessageLoop();

} // namespace velmora::win32
