// How the emulated PIN entry lays the typed PIN into the VERIFY APDU: the
// formatting fields of the PIN verify structure (bmFormatString,
// bmPINBlockString, bmPINLengthFormat) read once at the start and applied at
// the finish, as a PIN-pad reader applies them. Pure functions over fixed
// buffers; positions count in bits from the most significant bit of the
// first byte after Lc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

enum class PinEncoding : uint8_t { Binary, Bcd, Ascii };

struct PinFormat {
    // Nothing asked (no block, no length field, position 0, not BCD): the
    // digits as typed, Lc = their number. What servers got before formatting.
    bool asTyped = true;
    PinEncoding encoding = PinEncoding::Ascii;
    bool rightJustified = false;
    uint8_t blockSize = 0;   // bytes; 0 = the data ends with the PIN
    uint16_t pinAt = 0;      // bits
    uint8_t lengthBits = 0;  // size of the PIN length field; 0 = none
    uint16_t lengthAt = 0;   // bits
    uint8_t maxDigits = 0;   // the longest PIN the layout was checked for
};

constexpr size_t kPinStructureFixedSize = 19;

// Reads the formatting fields of a PIN verify structure (its 19 fixed bytes
// at structure) for the APDU template apdu of apduLength bytes and PINs of up
// to maxDigits digits. False when no PIN of that length can be laid out as
// asked: a block longer than the template's data, a PIN or length field
// beyond the block or overlapping, a length field too narrow, an unknown
// encoding.
bool ReadPinFormat(const uint8_t* structure, const uint8_t* apdu, size_t apduLength, size_t maxDigits,
                   PinFormat* format);

// Lays the n characters of pin into apdu, which holds the template's
// templateLength bytes and has room for capacity bytes; with a block, the
// template's bytes around the PIN stay as they are (its padding) and Lc is
// the template's. Returns the APDU's length, or 0 (nothing written) when the
// PIN is longer than the layout was checked for or a BCD or binary PIN holds
// a character that is no digit.
size_t FormatPinApdu(const PinFormat& format, const char* pin, size_t n, uint8_t* apdu,
                     size_t templateLength, size_t capacity);

} // namespace velmora
