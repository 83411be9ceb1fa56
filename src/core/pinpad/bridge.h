// The PIN-pad bridge: the server's four secure-PIN-entry control codes,
// served by the reader's own PIN pad where the feature table names one, and
// otherwise by the PIN entry dialog and the verify APDU completed here.
#pragma once

#include "reader/pcsc.h"
#include "wire/secret.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// Size of the caller's output buffer.
constexpr size_t kPinPadOutputSize = 1000;

// Offers an IOCTL to the PIN-pad bridge. Returns true if the bridge handled
// the code, with its status in *status and, on success, the answer's length
// in *outLength; false if the code is not the bridge's and goes to the reader,
// with nothing touched. out holds kPinPadOutputSize bytes; a card handle
// exists.
bool PinPadControl(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out,
                   size_t* outLength, LONG* status);

} // namespace velmora
