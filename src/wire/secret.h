// What in a command is secret: the one rule the client's PIN-pad bridge, the
// client's support log and the driver's log share, so that what may carry a
// typed PIN is always what the logs hide.
#pragma once

#include "wire/control_code.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// VERIFY (both INS codes): the only command a typed PIN may be put into.
constexpr bool IsVerifyIns(uint8_t ins) { return ins == 0x20 || ins == 0x21; }

// Commands whose data is a PIN or PUK: VERIFY, CHANGE REFERENCE DATA,
// RESET RETRY COUNTER (and its odd INS).
constexpr bool InsCarriesPin(uint8_t ins) { return IsVerifyIns(ins) || ins == 0x24 || ins == 0x2C || ins == 0x2D; }

// Whether an APDU is one of those commands.
constexpr bool ApduCarriesPin(const uint8_t* apdu, size_t length) { return length >= 2 && InsCarriesPin(apdu[1]); }

// The server's PIN-pad codes, as they arrive on the wire on every platform:
// their input is a verify structure whose template may hold a PIN.
constexpr uint32_t kPinPadVerifyStart = WireCtlCode(kFunctionVerifyPinStart);     // 0x313524
constexpr uint32_t kPinPadVerifyFinish = WireCtlCode(kFunctionVerifyPinFinish);   // 0x313528
constexpr uint32_t kPinPadGetKeyPressed = WireCtlCode(kFunctionGetKeyPressed);    // 0x313534
constexpr uint32_t kPinPadAbort = WireCtlCode(kFunctionAbort);                    // 0x31354C

constexpr bool IsPinPadCode(uint32_t wireCode) {
    return wireCode == kPinPadVerifyStart || wireCode == kPinPadVerifyFinish || wireCode == kPinPadGetKeyPressed ||
           wireCode == kPinPadAbort;
}

} // namespace velmora
