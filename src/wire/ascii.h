// C-locale text rules, whatever the process locale says.
#pragma once

#include <cstddef>

namespace velmora {

constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
constexpr bool AsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool AsciiPrint(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Whole-text comparison ignoring ASCII case.
inline bool AsciiEqualNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    }
    return *a == *b;
}

// True if text begins with prefix, ignoring ASCII case.
inline bool AsciiStartsNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text == '\0' || AsciiUpper(*text) != AsciiUpper(*prefix)) return false;
    }
    return true;
}

} // namespace velmora
