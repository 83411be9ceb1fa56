#include "bytes.h"

#include "wire/hex.h"

namespace simreader {

std::string ToHex(const Bytes& bytes) {
    std::string text(bytes.size() * 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) velmora::WriteHexByte(bytes[i], &text[2 * i]);
    return text;
}

bool FromHex(const std::string& text, Bytes* bytes) {
    bytes->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int value = velmora::HexDigitValue(c);
        if (value < 0) return false;
        if (high < 0) {
            high = value;
        } else {
            bytes->push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace simreader
