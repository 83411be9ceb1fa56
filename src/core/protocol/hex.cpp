#include "protocol/hex.h"

namespace velmora {
namespace {

// C-locale classification, independent of the process locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtoul(pair, &end, 16) over a text of exactly two characters, accepted
// only if it takes both: two digits, or white space or a sign before one.
bool ConvertPair(char first, char second, uint8_t* byte) {
    int low = HexDigitValue(second);
    if (low < 0) return false;
    int high = HexDigitValue(first);
    if (high >= 0) {
        *byte = static_cast<uint8_t>(high * 16 + low);
    } else if (IsSpace(first) || first == '+') {
        *byte = static_cast<uint8_t>(low);
    } else if (first == '-') {
        *byte = static_cast<uint8_t>(-low);
    } else {
        return false;
    }
    return true;
}

} // namespace

size_t ParseHexText(const char* text, uint8_t* out, size_t* consumed) {
    const char* start = text;
    while (IsSpace(*text)) ++text;
    size_t count = 0;
    while (text[0] != '\0' && text[1] != '\0' && count < kPayloadSize) {
        if (!ConvertPair(text[0], text[1], &out[count])) break;
        ++count;
        text += 2;
    }
    *consumed = static_cast<size_t>(text - start);
    return count;
}

size_t ParseHex(const char* text, uint8_t* out) {
    size_t consumed = 0;
    return ParseHexText(text, out, &consumed);
}

} // namespace velmora
