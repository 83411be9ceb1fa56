// Hex as the line protocol writes it: two digits per byte, upper case out,
// either case in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value of one hex digit, either case; -1 for any other character.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The two upper-case digits of byte into text[0] and text[1].
constexpr void WriteHexByte(uint8_t byte, char* text) {
    text[0] = kHexDigits[byte >> 4];
    text[1] = kHexDigits[byte & 0x0F];
}

// Writes 2 * length upper-case hex digits and a terminator; text must have
// room for them.
void WriteHex(const uint8_t* data, size_t length, char* text);

// Strict: an even number of hex digits and nothing else. False if the text
// is not hex or does not fit `capacity`.
bool ReadHex(const char* text, size_t textLength, uint8_t* data, size_t capacity, size_t* length);

} // namespace velmora
