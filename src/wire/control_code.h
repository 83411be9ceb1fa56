// Reader control codes. The server, and a reader on Windows, write a
// smart-card control function n in the Windows form (0x31 << 16) | (n << 2):
// device type smart card, buffered, any access, twelve bits of function.
// pcsc-lite numbers the same function 0x42000000 + n.
#pragma once

#include <cstdint>

namespace velmora {

constexpr uint32_t kWireCtlDevice = 0x00310000u;
constexpr uint32_t kPcscCtlBase = 0x42000000u;
constexpr uint32_t kCtlFunctionMax = 0xFFFu;

constexpr uint32_t WireCtlCode(uint32_t function) { return kWireCtlDevice | (function << 2); }
constexpr bool IsWireCtlCode(uint32_t code) { return (code & 0xFFFFC003u) == kWireCtlDevice; }
constexpr uint32_t WireCtlFunction(uint32_t code) { return (code >> 2) & kCtlFunctionMax; }

constexpr uint32_t PcscCtlCode(uint32_t function) { return kPcscCtlBase + function; }
constexpr bool IsPcscCtlCode(uint32_t code) { return code >= kPcscCtlBase && code - kPcscCtlBase <= kCtlFunctionMax; }

// Either form -> pcsc-lite's; any other code goes unchanged.
constexpr uint32_t PcscFromAny(uint32_t code) {
    return IsWireCtlCode(code) ? PcscCtlCode(WireCtlFunction(code)) : code;
}
// pcsc-lite's form -> the Windows form; any other code goes unchanged.
constexpr uint32_t WireFromPcsc(uint32_t code) {
    return IsPcscCtlCode(code) ? WireCtlCode(code - kPcscCtlBase) : code;
}

// The secure PIN entry functions: the feature request, and 3400 + the
// feature's tag.
constexpr uint32_t kFunctionFeatureRequest = 3400;
constexpr uint32_t kFunctionVerifyPinStart = 3401;
constexpr uint32_t kFunctionVerifyPinFinish = 3402;
constexpr uint32_t kFunctionGetKeyPressed = 3405;
constexpr uint32_t kFunctionAbort = 3411;

} // namespace velmora
