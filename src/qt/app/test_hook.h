// A control channel for the end-to-end tests, linked only into the test
// build of the client; the shipped client links the empty version.
#pragma once

namespace velmora::qt {

class TrayApp;
void InstallTestHook(TrayApp* app);

} // namespace velmora::qt
