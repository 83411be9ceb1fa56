#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

using velmora::ParseHex;

namespace {

std::vector<uint8_t> Parse(const std::string& text) {
    uint8_t out[velmora::kPayloadSize];
    size_t n = ParseHex(text.c_str(), out);
    return std::vector<uint8_t>(out, out + n);
}

struct HexCase {
    const char* text;
    std::vector<uint8_t> bytes;
};

TEST(ParseHex, ReadsPairsTheWayTheServerWritesThem) {
    const HexCase cases[] = {
        {"", {}},
        {"9000", {0x90, 0x00}},
        {"aBcD", {0xAB, 0xCD}},
        {"   00A4", {0x00, 0xA4}},       // leading blanks skipped
        {"\t\r\n01", {0x01}},            // any C white space before the payload
        {"ABC", {0xAB}},                 // a lone last digit is dropped
        {"01 02", {0x01, 0x00}},         // " 0" pairs as the digit 0, then "2" is alone
        {"0x12", {}},                    // "0x" is no pair
        {"12zz34", {0x12}},              // the first bad pair ends the parse
        {"1 23", {}},                    // "1 " is not read whole
        {" 1 2", {}},                    // leading blank skipped, then "1 " fails
        {"  ", {}},
    };
    for (const HexCase& c : cases) {
        EXPECT_EQ(Parse(c.text), c.bytes) << '"' << c.text << '"';
    }
}

// Each pair must read exactly as strtoul reads a two-character text: the
// server relies on that for every odd payload it may send.
TEST(ParseHex, EveryPairMatchesStrtoul) {
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            char pair[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
            char* end = nullptr;
            unsigned long value = std::strtoul(pair, &end, 16);
            bool whole = end == pair + 2;
            // Leading white space belongs to the payload, not to the pair.
            if (std::isspace(a)) continue;
            std::vector<uint8_t> got = Parse(pair);
            if (whole) {
                ASSERT_EQ(got.size(), 1u) << a << ',' << b;
                EXPECT_EQ(got[0], static_cast<uint8_t>(value)) << a << ',' << b;
            } else {
                EXPECT_TRUE(got.empty()) << a << ',' << b;
            }
        }
    }
}

TEST(ParseHex, BlankThenDigitInsideThePayloadCountsAsThatDigit) {
    EXPECT_EQ(Parse("00 A"), (std::vector<uint8_t>{0x00, 0x0A}));
}

TEST(ParseHex, StopsAtTheBufferSize) {
    std::string text(2 * velmora::kPayloadSize + 200, 'F');
    EXPECT_EQ(Parse(text).size(), velmora::kPayloadSize);
}

TEST(WriteHex, UpperCaseTwoDigitsPerByte) {
    const uint8_t data[] = {0x00, 0x0f, 0xa0, 0xff};
    char text[9];
    velmora::WriteHex(data, sizeof data, text);
    EXPECT_STREQ(text, "000FA0FF");
}

} // namespace
