#include "link/address.h"

#include "wire/hex.h"

#include <cstdio>
#include <cstring>

namespace velmora {
namespace {

bool ReadPart(const char** cursor, uint32_t* value) {
    const char* p = *cursor;
    uint32_t base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t result = 0;
    const char* start = p;
    for (;; ++p) {
        const int digit = base == 16 ? HexDigitValue(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
        if (digit < 0 || digit >= static_cast<int>(base)) break;
        result = result * base + static_cast<uint32_t>(digit);
        if (result > 0xFFFFFFFFu) return false;
    }
    if (p == start && base != 8) return false;  // "0x" alone is no number
    *value = static_cast<uint32_t>(result);
    *cursor = p;
    return true;
}

} // namespace

bool ParseNumericHost(const char* text, uint32_t* networkOrder) {
    uint32_t parts[4] = {};
    int count = 0;
    const char* p = text;
    for (;;) {
        if (count == 4 || !ReadPart(&p, &parts[count])) return false;
        ++count;
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    if (*p != '\0' && *p != ' ') return false;
    // The last part fills all the bytes the earlier parts left.
    static constexpr uint32_t kLastMax[] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
    uint32_t host = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF) return false;
        host |= parts[i] << (24 - 8 * i);
    }
    if (parts[count - 1] > kLastMax[count - 1]) return false;
    host |= parts[count - 1];
    if (host == 0xFFFFFFFFu) return false;
    const unsigned char bytes[4] = {static_cast<unsigned char>(host >> 24),
                                    static_cast<unsigned char>(host >> 16),
                                    static_cast<unsigned char>(host >> 8),
                                    static_cast<unsigned char>(host)};
    std::memcpy(networkOrder, bytes, sizeof bytes);
    return true;
}

void FormatDotted(uint32_t networkOrder, char* text, size_t size) {
    unsigned char b[4];
    std::memcpy(b, &networkOrder, sizeof b);
    std::snprintf(text, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

const char* UnixSocketPath(const char* host) {
    if (std::strncmp(host, "unix:/", 6) != 0) return nullptr;
    return host + 5;
}

} // namespace velmora
