// Windows: the system's text first, the project's own table where the
// system has none (Wine has no texts for PC/SC statuses).
#include "reader/pcsc.h"

#include <cstdio>
#include <cstring>

namespace velmora {

void UnknownStatusText(unsigned long status, char* text, size_t size);

void SystemMessageText(unsigned long status, char* text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    DWORD capacity = size > 0xFFFFu ? 0xFFFFu : static_cast<DWORD>(size);
    DWORD written = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   nullptr, static_cast<DWORD>(status), 0, text, capacity, nullptr);
    if (written > 0) {
        // MAX_WIDTH_MASK leaves a trailing blank where the line ended.
        while (written > 0 && (text[written - 1] == ' ' || text[written - 1] == '\r' ||
                               text[written - 1] == '\n')) {
            text[--written] = '\0';
        }
        if (written > 0) return;
    }
    const char* own = OwnStatusText(status);
    if (own != nullptr) {
        std::snprintf(text, size, "%s", own);
    } else {
        UnknownStatusText(status, text, size);
    }
}

LONG GetAttribBounded(SCARDHANDLE card, DWORD attribute, BYTE* buffer, DWORD* length) {
    return SCardGetAttrib(card, attribute, buffer, length);
}

} // namespace velmora
