// velmora-close-running: ends every running client of this session before
// the MSI replaces or removes its files, the way the client's own Exit does
// (WM_CLOSE to its tray window). Run by the package as a custom action.
// Exit code 0 when none runs any more, 3 when one is still there after
// ten seconds (the package then stops rather than leave a file in use).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/tray.h"

namespace {

constexpr int kWaitMs = 10000;
constexpr int kStepMs = 100;

HWND RunningClient() { return FindWindowA(velmora::win32::kTrayClassName, "Invisible Window"); }

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HWND asked = nullptr;
    for (int waited = 0; waited < kWaitMs; waited += kStepMs) {
        HWND client = RunningClient();
        if (client == nullptr) return 0;
        if (client != asked) {
            DWORD_PTR result = 0;
            SendMessageTimeoutA(client, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
            asked = client;
        }
        Sleep(kStepMs);
    }
    return RunningClient() == nullptr ? 0 : 3;
}
