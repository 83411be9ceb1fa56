// What carries a PIN: the one rule the PIN-pad bridge and the support log
// share, so that what the bridge fills with a typed PIN is always what the
// log hides.
#pragma once

#include <cstdint>

namespace velmora {

// VERIFY (both INS codes): the only command a typed PIN may be put into.
constexpr bool IsVerifyIns(uint8_t ins) { return ins == 0x20 || ins == 0x21; }

// Commands whose data is a PIN or PUK: VERIFY, CHANGE REFERENCE DATA,
// RESET RETRY COUNTER (and its odd INS).
constexpr bool InsCarriesPin(uint8_t ins) { return IsVerifyIns(ins) || ins == 0x24 || ins == 0x2C || ins == 0x2D; }

// The PIN-pad bridge's codes, in the wire encoding: their input is a verify
// structure whose template may hold a PIN.
bool IsPinPadCode(uint32_t wireCode);

} // namespace velmora
