// The hex payloads of TRANSMIT and IOCTL, read pair by pair as strtoul
// would read each pair.
#pragma once

#include "wire/hex.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

constexpr size_t kPayloadSize = 1000;

// Parses pairs of hex digits after leading white space into out (at least
// kPayloadSize bytes). Each pair is read as strtoul would read a two-character
// text of its own; the first pair it cannot read whole ends the parse.
// Returns the number of bytes stored.
size_t ParseHex(const char* text, uint8_t* out);

// ParseHex that also says how many characters of text it read (leading white
// space and the pairs).
size_t ParseHexText(const char* text, uint8_t* out, size_t* consumed);

} // namespace velmora
