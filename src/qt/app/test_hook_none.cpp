#include "app/test_hook.h"

namespace velmora::qt {

void InstallTestHook(TrayApp*) {}

} // namespace velmora::qt
