// The emulated PIN entry's layout of the typed PIN, against the structures
// middleware sends for real cards.
#include "pinpad/pin_format.h"
#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using velmora::FormatPinApdu;
using velmora::PinFormat;
using velmora::ReadPinFormat;

constexpr size_t kCapacity = 100;

std::vector<uint8_t> Hex(const std::string& text) {
    uint8_t out[velmora::kPayloadSize];
    size_t n = velmora::ParseHex(text.c_str(), out);
    return {out, out + n};
}

std::vector<uint8_t> Structure(uint8_t formatString, uint8_t blockString, uint8_t lengthFormat, uint8_t max) {
    std::vector<uint8_t> s(velmora::kPinStructureFixedSize, 0);
    s[2] = formatString;
    s[3] = blockString;
    s[4] = lengthFormat;
    s[5] = max;
    return s;
}

struct Layout {
    const char* name;
    uint8_t formatString, blockString, lengthFormat, max;
    const char* apduTemplate;
    const char* pin;
    const char* sent;  // nullptr: the structure is refused
};

// Lays out pin per the structure; "refused" when the start would be refused.
std::string Lay(const Layout& c) {
    auto s = Structure(c.formatString, c.blockString, c.lengthFormat, c.max);
    auto t = Hex(c.apduTemplate);
    PinFormat f;
    if (!ReadPinFormat(s.data(), t.data(), t.size(), c.max, &f)) return "refused";
    uint8_t apdu[kCapacity];
    std::memset(apdu, 0xEE, sizeof apdu);
    std::memcpy(apdu, t.data(), t.size());
    size_t length = FormatPinApdu(f, c.pin, std::strlen(c.pin), apdu, t.size(), sizeof apdu);
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", apdu[i]);
        hex += pair;
    }
    return hex;
}

const std::string kPadded8 = "0020000008FFFFFFFFFFFFFFFF";

TEST(PinFormat, LaysThePinOutAsTheStructureAsks) {
    const Layout cases[] = {
        // OpenSC, card needing an FF-padded 8-byte ASCII block.
        {"ascii block", 0x82, 0x08, 0x00, 8, kPadded8.c_str(), "123456", "0020000008313233343536FFFF"},
        {"ascii block full", 0x82, 0x08, 0x00, 8, kPadded8.c_str(), "12345678", "00200000083132333435363738"},
        // ISO 9564 format 2: 2N, BCD digits, F padding; length nibble in the block.
        {"iso 9564-2", 0x89, 0x48, 0x04, 12, "002000810820FFFFFFFFFFFFFF", "12345", "00200081082512345FFFFFFFFF"},
        {"iso 9564-2 in bits", 0x41, 0x48, 0x04, 12, "002000810820FFFFFFFFFFFFFF", "123456",
         "0020008108261234 56FFFFFFFF"},
        {"bcd right", 0x85, 0x08, 0x00, 8, kPadded8.c_str(), "12345", "0020000008FFFFFFFFFFF12345"},
        {"bcd right even", 0x85, 0x08, 0x00, 8, "00200000080000000000000000", "1234", "00200000080000000000001234"},
        {"length byte then ascii", 0x8A, 0x88, 0x10, 7, kPadded8.c_str(), "1234", "00200000080431323334FFFFFF"},
        {"binary block", 0x80, 0x08, 0x00, 8, kPadded8.c_str(), "1234", "002000000801020304FFFFFFFF"},
        {"bcd without block", 0x81, 0x00, 0x00, 8, "00200081", "12345", "00200081031234 5F"},
        // Nothing asked: the digits as typed, Lc = n, whatever the template held.
        {"no block ascii", 0x82, 0x00, 0x00, 8, kPadded8.c_str(), "123456", "0020000006313233343536"},
        {"all zero", 0x00, 0x00, 0x00, 8, "00200081", "4711", "002000810434373131"},
        {"empty pin", 0x00, 0x00, 0x00, 8, "00200081", "", "0020008100"},
        // Structures no PIN of the maximum length fits.
        {"block too small", 0x82, 0x04, 0x00, 8, "0020000004FFFFFFFF", "1234", nullptr},
        {"block beyond data", 0x82, 0x08, 0x00, 8, "0020000008FFFF", "1234", nullptr},
        {"block beyond lc", 0x82, 0x08, 0x00, 6, "0020000006FFFFFFFFFFFF", "1234", nullptr},
        {"no lc for block", 0x82, 0x08, 0x00, 6, "00200000", "1234", nullptr},
        {"position outside", 0x92, 0x00, 0x00, 8, "00200081", "1234", nullptr},
        {"bcd max beyond", 0x89, 0x48, 0x04, 15, "002000810820FFFFFFFFFFFFFF", "1234", nullptr},
        {"right max beyond", 0x8D, 0x08, 0x00, 15, kPadded8.c_str(), "1234", nullptr},
        {"length too narrow", 0x89, 0x38, 0x04, 8, "002000810820FFFFFFFFFFFFFF", "1234", nullptr},
        {"length over pin", 0x89, 0x48, 0x08, 8, "002000810820FFFFFFFFFFFFFF", "1234", nullptr},
        {"length in the pin", 0x82, 0x48, 0x0F, 4, kPadded8.c_str(), "1234", nullptr},
        {"length beyond block", 0x8A, 0x81, 0x11, 0, "0020000001FF", "", nullptr},
        {"unknown encoding", 0x83, 0x08, 0x00, 8, kPadded8.c_str(), "1234", nullptr},
    };
    for (const Layout& c : cases) {
        std::string want = c.sent != nullptr ? c.sent : "refused";
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        EXPECT_EQ(Lay(c), want) << c.name;
    }
}

TEST(PinFormat, PinTheLayoutCannotCarryIsNeverWritten) {
    const Layout cases[] = {
        {"bcd letter", 0x89, 0x48, 0x04, 12, "002000810820FFFFFFFFFFFFFF", "12a4", ""},
        {"binary letter", 0x80, 0x08, 0x00, 8, kPadded8.c_str(), "1+", ""},
        {"longer than max", 0x85, 0x08, 0x00, 8, kPadded8.c_str(), "12345678901234567", ""},
        {"ascii block longer", 0x82, 0x08, 0x00, 8, kPadded8.c_str(), "123456789", ""},
        // Longer than the maximum the layout was checked for: the 2-bit length would wrap.
        {"beyond the maximum", 0x89, 0x28, 0x02, 3, "002000810820FFFFFFFFFFFFFF", "1234", ""},
    };
    for (const Layout& c : cases) EXPECT_EQ(Lay(c), "") << c.name;
}

} // namespace
