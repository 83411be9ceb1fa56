// The wire vocabulary the client, the driver and the tools share: a fault
// here reaches all three at once.
#include "wire/attributes.h"
#include "wire/control_code.h"
#include "wire/hex.h"
#include "wire/secret.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

namespace {

TEST(WireHex, DigitValueAgreesWithStrtolForEveryByte) {
    for (int c = 0; c < 256; ++c) {
        const char text[2] = {static_cast<char>(c), '\0'};
        char* end = nullptr;
        const long expected = std::isxdigit(c) != 0 ? std::strtol(text, &end, 16) : -1;
        EXPECT_EQ(velmora::HexDigitValue(static_cast<char>(c)), expected) << c;
    }
}

TEST(WireControlCode, OneEncodingBothWays) {
    struct Case {
        uint32_t pcsc, wire;
    } const cases[] = {
        {0x42000D48u, 0x00313520u},  // feature request
        {0x42000D49u, 0x00313524u},  // VERIFY_PIN_START
        {0x42000000u, 0x00310000u},
        {0x42000FFFu, 0x00313FFCu},  // the last function the Windows form holds
    };
    for (const Case& c : cases) {
        EXPECT_EQ(velmora::WireFromPcsc(c.pcsc), c.wire) << std::hex << c.pcsc;
        EXPECT_EQ(velmora::PcscFromAny(c.wire), c.pcsc) << std::hex << c.wire;
        EXPECT_EQ(velmora::PcscFromAny(c.pcsc), c.pcsc);
    }
    // Codes of neither form pass unchanged, both ways: a function past twelve
    // bits would set the access bits, a code with them set is not ours.
    for (uint32_t other : {0x42001000u, 0x4200FFFFu, 0x0031C000u, 0x00314001u, 0x00313523u, 0x41FFFFFFu, 0u}) {
        EXPECT_EQ(velmora::WireFromPcsc(other), other) << std::hex << other;
        EXPECT_EQ(velmora::PcscFromAny(other), other) << std::hex << other;
    }
}

TEST(WireSecret, PinCarryingCommandsAndCodes) {
    struct Case {
        uint8_t ins;
        bool pin;
    } const cases[] = {{0x20, true}, {0x21, true}, {0x24, true}, {0x2C, true}, {0x2D, true},
                       {0xA4, false}, {0xB0, false}, {0x22, false}, {0x2A, false}};
    for (const Case& c : cases) {
        const uint8_t apdu[] = {0x00, c.ins, 0x00, 0x81, 0x02, 0x31, 0x32};
        EXPECT_EQ(velmora::ApduCarriesPin(apdu, sizeof apdu), c.pin) << std::hex << int{c.ins};
        EXPECT_FALSE(velmora::ApduCarriesPin(apdu, 1));  // no INS to read
    }
    for (uint32_t code : {0x00313524u, 0x00313528u, 0x00313534u, 0x0031354Cu}) EXPECT_TRUE(velmora::IsPinPadCode(code));
    for (uint32_t code : {0x00313520u, 0x42000D49u, 0x0031352Cu}) EXPECT_FALSE(velmora::IsPinPadCode(code));
}

TEST(WireAttributes, NamesAndIdsReadBothWays) {
    for (size_t i = 0; i < velmora::kAttributeNameCount; ++i) {
        const velmora::AttributeName& entry = velmora::kAttributeNames[i];
        uint32_t id = 0;
        ASSERT_TRUE(velmora::LookUpAttribute(entry.name, &id)) << entry.name;
        EXPECT_EQ(id, entry.id);
        EXPECT_STREQ(velmora::NameOfAttribute(entry.id), entry.name);
    }
    uint32_t id = 0;
    EXPECT_TRUE(velmora::LookUpAttribute("atr_string", &id));
    EXPECT_EQ(id, 0x00090303u);
    for (const char* unknown : {"", "ATR", "ATR_STRING ", "ATR_STRINGS"}) {
        EXPECT_FALSE(velmora::LookUpAttribute(unknown, &id)) << unknown;
    }
    EXPECT_EQ(velmora::NameOfAttribute(0x00090399u), nullptr);
}

} // namespace
