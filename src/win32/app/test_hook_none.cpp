#include "app/test_hook.h"

namespace velmora::win32 {

void InstallTestHook(HWND) {}
const char* TestInstanceTag() { return nullptr; }
void WatchMessageBoxes() {}

} // namespace velmora::win32
