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

} // namespace velmora::win32
