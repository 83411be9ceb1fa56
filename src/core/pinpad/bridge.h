// The PIN-pad bridge's hand-over point for the IOCTL command.
#pragma once

#include "reader/pcsc.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// Offers an IOCTL to the PIN-pad bridge. Returns true if the bridge handled
// the code, with its status in *status and, on success, the answer's length
// in *outLength; false if the code is not the bridge's and goes to the reader.
bool PinPadControl(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out,
                   size_t* outLength, LONG* status);

} // namespace velmora
