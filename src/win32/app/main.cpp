// Velmora Client on Windows: a tray application over Win32, Windows
// Sockets and WinSCard.
#include "app/client.h"
#include "app/test_hook.h"
#include "app/tray.h"
#include "app/win32_shell.h"
#include "ui/resource.h"

namespace velmora::win32 {
namespace {

void Fail(const char* text) { MessageBoxA(nullptr, text, "Fehlermeldung", MB_ICONERROR); }

HICON LoadIconSized(int id, int sizeMetric) {
    int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(LoadImageA(g_app.instance, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0));
}

void LoadIcons() {
    g_app.classIcon = LoadIconSized(IDI_CLIENT, SM_CXICON);
    g_app.classIconSmall = LoadIconSized(IDI_CLIENT, SM_CXSMICON);
    g_app.trayIcon = LoadIconSized(IDI_TRAY, SM_CXSMICON);
    if (g_app.classIcon == nullptr || g_app.trayIcon == nullptr) Fail("NULL-Icon");
}

bool RegisterTrayClass() {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = g_app.instance;
    windowClass.hIcon = g_app.classIcon;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
    windowClass.lpszClassName = kTrayClassName;
    windowClass.hIconSm = g_app.classIconSmall != nullptr ? g_app.classIconSmall : g_app.classIcon;
    return RegisterClassExA(&windowClass) != 0;
}

// A visible tool window far below the screen: no taskbar button, never seen.
HWND CreateTrayWindow() {
    return CreateWindowExA(WS_EX_TOOLWINDOW, kTrayClassName, "Invisible Window", WS_VISIBLE | WS_SYSMENU, 0,
                           5000, 200, 100, nullptr, nullptr, g_app.instance, nullptr);
}

int Run(HINSTANCE instance) {
    g_app.instance = instance;
    g_app.uiThread = GetCurrentThreadId();
    velmora::ClientStart(&g_shell, &g_network);
    LoadIcons();
    if (!RegisterTrayClass()) {
        Fail("RegisterClassEx() failed");
        return 1;
    }
    g_app.tray = CreateTrayWindow();
    if (g_app.tray == nullptr) {
        Fail("CreateWindowEx() failed");
        return 1;
    }
    // The first message the loop handles opens the connection dialog.
    PostMessageA(g_app.tray, WM_COMMAND, ID_TRAY_OPEN, 0);
    InstallTestHook(g_app.tray);
    return RunMessageLoop();
}

} // namespace
} // namespace velmora::win32

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return velmora::win32::Run(instance); }
