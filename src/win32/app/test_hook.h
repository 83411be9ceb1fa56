// A control channel for the end-to-end tests, linked only into the test
// build of the client; the shipped client links the empty version.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velmora::win32 {

// Called once the tray window exists, before the message loop runs.
void InstallTestHook(HWND tray);

// The tests' private instance: names the one-instance mutex and the
// registry subkey of the settings, so parallel clients stay apart. nullptr
// in the shipped client.
const char* TestInstanceTag();

// Before a message box at start: in the test build, each box of this
// process is read out on standard output and closed with OK, when
// VELMORA_TEST_CLOSE_BOXES is set.
void WatchMessageBoxes();

} // namespace velmora::win32
