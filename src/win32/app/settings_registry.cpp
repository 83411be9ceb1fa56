#include "app/settings_registry.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

namespace velmora::win32 {
namespace {

constexpr size_t kValueSize = velmora::kLogPathSize + 1;

// One value as text: strings as they are, DWORDs in decimal. False with
// nothing recorded when the value is not there.
bool ReadValue(HKEY key, const char* name, char* text, size_t size, bool* wrongType) {
    BYTE data[kValueSize + 8] = {};
    DWORD type = 0;
    DWORD length = sizeof data - 2;  // room for terminators the value may lack
    LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &length);
    *wrongType = false;
    if (status == ERROR_MORE_DATA) {
        *wrongType = true;  // longer than any setting may be
        return true;
    }
    if (status != ERROR_SUCCESS) return false;
    if (type == REG_DWORD && length == sizeof(DWORD)) {
        DWORD value = 0;
        memcpy(&value, data, sizeof value);
        std::snprintf(text, size, "%lu", static_cast<unsigned long>(value));
        return true;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::snprintf(text, size, "%s", reinterpret_cast<const char*>(data));
        return true;
    }
    *wrongType = true;
    return true;
}

void ReadKey(HKEY root, const char* path, const char* tag, velmora::Settings* settings) {
    char full[300];
    std::snprintf(full, sizeof full, "%s%s%s", path, tag != nullptr ? "\\" : "", tag != nullptr ? tag : "");
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, full, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (const char* name : velmora::kSettingKeys) {
        char text[kValueSize] = {};
        bool wrongType = false;
        if (!ReadValue(key, name, text, sizeof text, &wrongType)) continue;
        if (wrongType) {
            velmora::RecordSettingProblem(settings, name, "?");
            continue;
        }
        velmora::ApplySetting(settings, name, text);
    }
    RegCloseKey(key);
}

} // namespace

void ReadRegistrySettings(velmora::Settings* settings, const char* tag) {
    ReadKey(HKEY_LOCAL_MACHINE, "Software\\Policies\\Velmora Client", tag, settings);
    ReadKey(HKEY_CURRENT_USER, "Software\\Velmora Client", tag, settings);
}

} // namespace velmora::win32
