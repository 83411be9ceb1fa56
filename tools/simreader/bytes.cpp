#include "bytes.h"

namespace simreader {

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool FromHex(const std::string& text, Bytes* bytes) {
    bytes->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int value = HexValue(c);
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
