// POSIX has no system text table for PC/SC statuses: the project's own one
// is the only source.
#include "reader/pcsc.h"

#include <cstdio>

namespace velmora {

void UnknownStatusText(unsigned long status, char* text, size_t size);

void SystemMessageText(unsigned long status, char* text, size_t size) {
    if (size == 0) return;
    const char* own = OwnStatusText(status);
    if (own != nullptr) {
        std::snprintf(text, size, "%s", own);
    } else {
        UnknownStatusText(status, text, size);
    }
}

LONG GetAttribBounded(SCARDHANDLE card, DWORD attribute, BYTE* buffer, DWORD* length) {
    DWORD wanted = *length;
    LONG status = SCardGetAttrib(card, attribute, buffer, length);
    if (status == static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER) &&
        wanted > kPlatformMaxAttribRequest) {
        // The client library's own limit, not the attribute's size: ask again
        // within it, so every attribute the daemon can carry is reachable.
        *length = kPlatformMaxAttribRequest;
        status = SCardGetAttrib(card, attribute, buffer, length);
    }
    return status;
}

} // namespace velmora
