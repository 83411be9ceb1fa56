#include "wire/hex.h"

namespace velmora {

void WriteHex(const uint8_t* data, size_t length, char* text) {
    for (size_t i = 0; i < length; ++i) WriteHexByte(data[i], text + 2 * i);
    text[2 * length] = '\0';
}

bool ReadHex(const char* text, size_t textLength, uint8_t* data, size_t capacity, size_t* length) {
    if (textLength % 2 != 0 || textLength / 2 > capacity) return false;
    for (size_t i = 0; i < textLength / 2; ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        data[i] = static_cast<uint8_t>(high << 4 | low);
    }
    *length = textLength / 2;
    return true;
}

} // namespace velmora
