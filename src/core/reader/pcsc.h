// PC/SC adaptation: the one place that knows which PC/SC flavour the
// platform has. Everything else calls the standard API by the Windows names
// and uses the fixed-width helpers below.
#pragma once

#include "wire/control_code.h"

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#include <PCSC/reader.h>
// pcsc-lite has no A/W pairs: its names are the 8-bit ones.
#define SCardListReadersA SCardListReaders
#define SCardConnectA SCardConnect
#define SCardGetStatusChangeA SCardGetStatusChange
#define SCardStatusA SCardStatus
using SCARD_READERSTATEA = SCARD_READERSTATE;
#endif

namespace velmora {

// DWORD and LONG are 64 bits wide in pcsc-lite on 64-bit Linux and 32 bits on
// Windows. Status and control codes are 32-bit values on the wire and in
// every text, so they pass through these before they are formatted.
inline unsigned long StatusWord(LONG status) {
    return static_cast<unsigned long>(static_cast<uint32_t>(status));
}
inline unsigned long CodeWord(DWORD code) {
    return static_cast<unsigned long>(static_cast<uint32_t>(code));
}

#ifdef _WIN32
constexpr uint32_t PlatformCtlCode(uint32_t function) { return WireCtlCode(function); }
// Windows takes the whole attribute buffer in one call.
constexpr DWORD kPlatformMaxAttribRequest = 0;
#else
constexpr uint32_t PlatformCtlCode(uint32_t function) { return PcscCtlCode(function); }
// pcsc-lite's client refuses an attribute request above MAX_BUFFER_SIZE
// before it asks the driver.
constexpr DWORD kPlatformMaxAttribRequest = MAX_BUFFER_SIZE;
#endif

// The reader's own code for the feature request (function 3400).
constexpr uint32_t kIoctlGetFeatureRequest = PlatformCtlCode(kFunctionFeatureRequest);

// Translates a control code from the wire into the platform's encoding.
// Codes of another form go to the reader unchanged.
constexpr uint32_t PlatformFromWireCtlCode(uint32_t wire) {
    return IsWireCtlCode(wire) ? PlatformCtlCode(WireCtlFunction(wire)) : wire;
}

// Whether a status says the context is dead because the resource manager
// stopped or restarted.
inline bool ResourceManagerGone(LONG status) {
    switch (StatusWord(status)) {
    case 0x8010001Du:  // no service
    case 0x8010001Eu:  // service stopped
    case 0x80100003u:  // invalid handle: a context from before a restart
    case 0x80100013u:  // communication error with the resource manager
        return true;
    default:
        return false;
    }
}

// SCardGetAttrib into a caller's buffer of *length bytes, working around the
// platform's request limit. Same contract as SCardGetAttrib.
LONG GetAttribBounded(SCARDHANDLE card, DWORD attribute, BYTE* buffer, DWORD* length);

// The one-line system message text for a PC/SC or socket status, cut to
// size - 1 characters. Never empty for size > 1.
void SystemMessageText(unsigned long status, char* text, size_t size);

// The project's own one-line text for a status, or nullptr if it has none.
const char* OwnStatusText(unsigned long status);

} // namespace velmora
