#include "ui/cp1252.h"

#include <cstring>

namespace velmora::qt {
namespace {

// 0x80..0x9F: where Windows-1252 differs from Latin-1. 0 = undefined.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char16_t Decode(unsigned char byte) {
    if (byte < 0x80 || byte >= 0xA0) return byte;
    char16_t mapped = kHigh[byte - 0x80];
    return mapped != 0 ? mapped : char16_t{0xFFFD};
}

char Encode(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i) {
        if (kHigh[i] == c && c != 0) return static_cast<char>(0x80 + i);
    }
    return '?';
}

} // namespace

QString FromCp1252(const char* text, size_t length) {
    QString result;
    result.reserve(static_cast<qsizetype>(length));
    for (size_t i = 0; i < length; ++i) result.append(QChar(Decode(static_cast<unsigned char>(text[i]))));
    return result;
}

QString FromCp1252(const char* text) { return FromCp1252(text, std::strlen(text)); }

void ToCp1252(const QString& text, char* out, size_t size) {
    if (size == 0) return;
    size_t n = 0;
    for (QChar c : text) {
        if (n + 1 >= size) break;
        out[n++] = Encode(c.unicode());
    }
    out[n] = '\0';
}

} // namespace velmora::qt
