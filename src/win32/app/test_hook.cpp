#include "app/test_hook.h"

namespace velmora::win32 {

void InstallTestHook(HWND) {}

} // namespace velmora::win32
