// Velmora Client on Windows: a tray application over Win32, Windows
// Sockets and WinSCard.
#include "app/client.h"
#include "app/settings.h"
#include "app/settings_registry.h"
#include "app/test_hook.h"
#include "app/tray.h"
#include "app/win32_shell.h"
#include "ui/resource.h"

#include <cstdio>
#include <cstdlib>

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
    g_app.trayIconGrey = MakeGreyIcon(g_app.trayIcon);
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

// The settings from the registry and the command line; -1 to run, else the
// exit code after the usage or version was shown.
int ReadSettings(velmora::Settings* settings) {
    *settings = velmora::DefaultSettings();
    ReadRegistrySettings(settings, TestInstanceTag());
    velmora::CommandLine result = velmora::ParseCommandLine(__argc, __argv, settings);
    if (result == velmora::CommandLine::Run) return -1;
    WatchMessageBoxes();
    if (result == velmora::CommandLine::Version) {
        MessageBoxA(nullptr, velmora::VersionText(), "Velmora Client", MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    bool help = result == velmora::CommandLine::Help;
    MessageBoxA(nullptr, velmora::UsageText(), "Velmora Client", MB_OK | (help ? MB_ICONINFORMATION : MB_ICONERROR));
    return help ? 0 : 2;
}

// One client per user session: a later start asks the running one for its
// connection dialog and ends. The mutex stays held until the process ends.
bool AnotherClientRuns() {
    char name[200];
    const char* tag = TestInstanceTag();
    std::snprintf(name, sizeof name, "Local\\Velmora Client%s%s", tag != nullptr ? " " : "", tag != nullptr ? tag : "");
    g_app.showMessage = RegisterWindowMessageA(name + 6);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return false;
    CloseHandle(mutex);
    AllowSetForegroundWindow(ASFW_ANY);
    PostMessageA(HWND_BROADCAST, g_app.showMessage, 0, 0);
    return true;
}

int Run(HINSTANCE instance) {
    g_app.instance = instance;
    g_app.uiThread = GetCurrentThreadId();
    velmora::Settings settings;
    int early = ReadSettings(&settings);
    if (early >= 0) return early;
    if (AnotherClientRuns()) return 0;
    velmora::ClientStart(&g_shell, &g_network);
    velmora::SetReconnectTimer(&g_shell);
    velmora::UseSettings(settings);
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
    if (settings.trayStatus) {
        velmora::SetStatusWatcher(&g_shell);
        UpdateTrayStatus();
    }
    // The first message the loop handles opens the connection dialog.
    PostMessageA(g_app.tray, WM_COMMAND, ID_TRAY_OPEN, 0);
    InstallTestHook(g_app.tray);
    return RunMessageLoop();
}

} // namespace
} // namespace velmora::win32

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return velmora::win32::Run(instance); }
