// Byte strings and their hex text, as the control protocol writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simreader {

using Bytes = std::vector<uint8_t>;

// Upper-case hex, no separators; "" for no bytes.
std::string ToHex(const Bytes& bytes);

// Reads hex digits, ignoring blanks; false on an odd count or a non-hex
// character.
bool FromHex(const std::string& text, Bytes* bytes);

// Appends a 16-bit status word.
inline void AppendSw(Bytes* out, uint16_t sw) {
    out->push_back(static_cast<uint8_t>(sw >> 8));
    out->push_back(static_cast<uint8_t>(sw & 0xFF));
}

} // namespace simreader
