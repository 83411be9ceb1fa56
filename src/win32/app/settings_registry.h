// The Windows client's settings in the registry: the administrator's policy
// under HKLM\Software\Policies\Velmora Client, then the user's under
// HKCU\Software\Velmora Client. Texts as REG_SZ; numbers as REG_DWORD or as
// text. Read once at start.
#pragma once

#include "app/settings.h"

namespace velmora::win32 {

// tag, when given, names a subkey under both keys (the tests' private
// settings).
void ReadRegistrySettings(velmora::Settings* settings, const char* tag);

} // namespace velmora::win32
