// The simulated reader's model without pcscd: ATRs, the card's answers, the
// PIN pad's entry, and the reader's control commands and settings file.
#include "card.h"
#include "pinpad.h"
#include "reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace simreader;

namespace {

Bytes Hex(const std::string& text) {
    Bytes bytes;
    EXPECT_TRUE(FromHex(text, &bytes)) << text;
    return bytes;
}

std::string Answer(Card& card, const std::string& apdu) { return ToHex(card.Process(Hex(apdu))); }

TEST(Atr, DefaultsOfferExactlyTheirProtocols) {
    for (uint32_t protocols : {kProtocolT0, kProtocolT1, kProtocolT0 | kProtocolT1}) {
        EXPECT_EQ(AtrProtocols(DefaultAtr(protocols)), protocols) << ToHex(DefaultAtr(protocols));
    }
}

TEST(Atr, CheckByteMakesTheXorZeroWhenNeeded) {
    for (uint32_t protocols : {kProtocolT1, kProtocolT0 | kProtocolT1}) {
        Bytes atr = DefaultAtr(protocols);
        uint8_t sum = 0;
        for (size_t i = 1; i < atr.size(); ++i) sum ^= atr[i];
        EXPECT_EQ(sum, 0) << ToHex(atr);
    }
}

TEST(Atr, InterfaceBytesAreSkippedToFindEachTd) {
    // TA1 TB1 TC1 TD1(T=1, TD2 follows) TD2(T=1, TA3 TB3 follow) TA3 TB3, history, TCK
    EXPECT_EQ(AtrProtocols(Hex("3BFF1800FF8131FE45")), kProtocolT1);
    // TD1 names T=0, TD2 after a TB2 names T=1
    EXPECT_EQ(AtrProtocols(Hex("3B80A0000121")), kProtocolT0 | kProtocolT1);
    EXPECT_EQ(AtrProtocols(Hex("3B00")), kProtocolT0);
}

TEST(Card, WrongPinsCountDownToBlockedAndTheRightOneRestores) {
    Card card;
    EXPECT_EQ(Answer(card, "0020008104393939"), "6700");  // Lc says 4, 3 bytes follow
    EXPECT_EQ(Answer(card, "002000810439393939"), "63C2");
    EXPECT_EQ(Answer(card, "00200081"), "63C2");
    EXPECT_EQ(Answer(card, "002000810431323334"), "9000");
    EXPECT_TRUE(card.Verified());
    EXPECT_EQ(card.TriesLeft(), 3);
    for (const char* sw : {"63C2", "63C1", "6983"}) EXPECT_EQ(Answer(card, "002000810439393939"), sw);
    EXPECT_EQ(Answer(card, "002000810431323334"), "6983");
    EXPECT_FALSE(card.Verified());
}

TEST(Card, PaddedPinIsAccepted) {
    Card card;
    EXPECT_EQ(Answer(card, "002000810831323334FFFFFFFF"), "9000");
    card.SetPin("0000", 5);
    EXPECT_EQ(Answer(card, "002000810400000000"), "9000");  // binary digits
}

// A card that needs a formatted block refuses any other layout without
// counting a try, and counts a wrong PIN in its layout.
TEST(Card, FormattedPinBlockIsRequiredWhenAsked) {
    struct Case {
        PinBlock block;
        const char* apdu;
        const char* sw;
    } cases[] = {
        {PinBlock::Ascii8, "002000810431323334", "6A80"},                   // unformatted
        {PinBlock::Ascii8, "002000810831323334FFFFFF00", "6A80"},           // bad padding
        {PinBlock::Ascii8, "002000810831323339FFFFFFFF", "63C2"},           // wrong PIN
        {PinBlock::Ascii8, "002000810831323334FFFFFFFF", "9000"},
        {PinBlock::Iso2, "002000810831323334FFFFFFFF", "6A80"},
        {PinBlock::Iso2, "0020008108241234FFFFFFFFFF", "9000"},
        {PinBlock::Iso2, "0020008108241239FFFFFFFFFF", "63C2"},
        {PinBlock::Iso2, "0020008108251234FFFFFFFFFF", "6A80"},             // length says 5
        {PinBlock::Iso2, "00200081082412340FFFFFFFFF", "6A80"},             // filler not F
        {PinBlock::Any, "0020008108241234FFFFFFFFFF", "63C2"},
    };
    for (const Case& c : cases) {
        Card card;
        card.pinBlock = c.block;
        EXPECT_EQ(Answer(card, c.apdu), c.sw) << c.apdu;
        EXPECT_EQ(card.TriesLeft(), std::string(c.sw) == "63C2" ? 2 : 3) << c.apdu;
    }
}

TEST(Card, ResetForgetsVerificationButNotTries) {
    Card card;
    Answer(card, "002000810439393939");
    card.Reset();
    EXPECT_EQ(card.TriesLeft(), 2);
    Answer(card, "002000810431323334");
    card.Reset();
    EXPECT_FALSE(card.Verified());
    EXPECT_EQ(card.TriesLeft(), 3);
}

TEST(Card, AnswersOfChosenLength) {
    Card card;
    EXPECT_EQ(Answer(card, "80EE0000"), "9000");
    EXPECT_EQ(card.Process(Hex("80EE03E8")).size(), kReadLengthMax + 2);
    EXPECT_EQ(Answer(card, "80EE03E9"), "6A86");
    EXPECT_EQ(Answer(card, "80EE0003"), "0001029000");
}

TEST(Card, ChallengeAndDecipherLengths) {
    Card card;
    EXPECT_EQ(card.Process(Hex("0084000008")).size(), 10u);
    EXPECT_EQ(card.Process(Hex("0084000000")).size(), 258u);  // Le 00 means 256
    EXPECT_EQ(Answer(card, "00840000"), "6700");
    EXPECT_EQ(card.Process(Hex("002A8086020102")).size(), kDecipherLength + 2);
    EXPECT_EQ(Answer(card, "002A9E9A020102"), "6A86");
}

TEST(Card, ApduLayoutsAndUnknownCommands) {
    Card card;
    EXPECT_EQ(Answer(card, "00A4040002A000"), "9000");
    EXPECT_EQ(Answer(card, "00A40400000002A000"), "9000");  // extended Lc
    EXPECT_EQ(Answer(card, "00A4"), "6700");
    EXPECT_EQ(Answer(card, "00A4040003A000"), "6700");
    EXPECT_EQ(Answer(card, "00CA000000"), "6D00");
    EXPECT_EQ(Answer(card, "80CA000000"), "6D00");
    EXPECT_EQ(Answer(card, "A0A4000000"), "6E00");
}

// A PIN verify structure around an 8-byte padded VERIFY template.
Bytes Structure(uint8_t format, uint8_t maxDigits = 8) {
    Bytes s = Hex("0000" "00" "08" "00");
    s[2] = format;
    s.insert(s.end(), {maxDigits, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 13, 0, 0, 0});
    Bytes apdu = Hex("0020008108FFFFFFFFFFFFFFFF");
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

std::string Finish(PinPad& pad) {
    Bytes apdu;
    uint16_t sw = 0;
    switch (pad.Finish(&apdu, &sw)) {
    case PinPad::Outcome::NoEntry: return "none";
    case PinPad::Outcome::Status: return "sw " + ToHex(Bytes{static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)});
    case PinPad::Outcome::Apdu: return ToHex(apdu);
    }
    return "?";
}

TEST(PinPad, MalformedOrUnsupportedStructuresAreRefused) {
    PinPad pad;
    Bytes s = Structure(0x82);
    EXPECT_FALSE(pad.Start(Bytes(s.begin(), s.begin() + 18)));
    s.push_back(0x00);  // one byte more than ulDataLength says
    EXPECT_FALSE(pad.Start(s));
    EXPECT_FALSE(pad.Start(Structure(0x81)));  // BCD
    EXPECT_EQ(Finish(pad), "none");
}

TEST(PinPad, DigitsBeyondTheMaximumAndBackspaceOnNothingAreIgnored) {
    PinPad pad;
    ASSERT_TRUE(pad.Start(Structure(0x82, 4)));
    ASSERT_TRUE(pad.Feed("BACK 123456 OK"));
    EXPECT_EQ(Finish(pad), "002000810831323334FFFFFFFF");
}

TEST(PinPad, PinPositionComesFromTheFormat) {
    PinPad pad;
    ASSERT_TRUE(pad.Start(Structure(0x80 | 1 << 3 | 0x02)));  // one byte in
    ASSERT_TRUE(pad.Feed("12 OK"));
    EXPECT_EQ(Finish(pad), "0020008108FF3132FFFFFFFFFF");
    ASSERT_TRUE(pad.Start(Structure(8 << 3 | 0x02)));  // 8 bits in
    ASSERT_TRUE(pad.Feed("12 OK"));
    EXPECT_EQ(Finish(pad), "0020008108FF3132FFFFFFFFFF");
}

TEST(PinPad, KeysAreReportedWithoutRevealingDigits) {
    PinPad pad;
    ASSERT_TRUE(pad.Feed("7 BACK TIMEOUT"));
    EXPECT_EQ(pad.NextKey(), kKeyNone);  // no entry yet: the keys wait
    ASSERT_TRUE(pad.Start(Structure(0x82)));
    EXPECT_EQ(pad.NextKey(), kKeyDigit);
    EXPECT_EQ(pad.NextKey(), kKeyBackspace);
    EXPECT_EQ(pad.NextKey(), kKeyTimeout);
    EXPECT_EQ(pad.NextKey(), kKeyNone);
    EXPECT_EQ(Finish(pad), "sw 6400");
}

TEST(PinPad, KeysAfterTheEndStayForTheNextEntry) {
    PinPad pad;
    ASSERT_TRUE(pad.Feed("1 CANCEL 4321 OK"));
    ASSERT_TRUE(pad.Start(Structure(0x82)));
    EXPECT_EQ(Finish(pad), "sw 6401");
    EXPECT_EQ(pad.Queued(), 5u);
    ASSERT_TRUE(pad.Start(Structure(0x82)));
    EXPECT_EQ(Finish(pad), "002000810834333231FFFFFFFF");
}

TEST(PinPad, UnknownKeyQueuesNothing) {
    PinPad pad;
    EXPECT_FALSE(pad.Feed("12 ENTER"));
    EXPECT_EQ(pad.Queued(), 0u);
}

// A reader whose settings file is written by the test.
class ReaderTest : public ::testing::Test {
protected:
    std::string base = "/tmp/simreader-test-" + std::to_string(getpid());

    void TearDown() override { std::remove((base + ".conf").c_str()); }
    void WriteSettings(const std::string& text) { std::ofstream(base + ".conf") << text; }
    std::string Control(Reader& reader, DWORD code, const Bytes& in, DWORD room = 300) {
        uint8_t out[300];
        DWORD returned = 99;
        RESPONSECODE rc = reader.Control(code, in, out, room, &returned);
        if (rc != IFD_SUCCESS) return "rc " + std::to_string(rc) + " returned " + std::to_string(returned);
        return ToHex(Bytes(out, out + returned));
    }
};

TEST_F(ReaderTest, SettingsFileIsAppliedAndResetReturnsToIt) {
    WriteSettings("# comment\nCARD T0\nPINPAD ON\nVENDOR Acme\nINSERT\n");
    Reader reader(base + ".conf");
    std::string error;
    ASSERT_TRUE(reader.Configure(&error)) << error;
    EXPECT_EQ(reader.Presence(), IFD_ICC_PRESENT);
    EXPECT_EQ(reader.Command("STATUS").substr(0, 45), "OK present=1 powered=0 protocol=none atr=3B06");
    reader.Command("REMOVE");
    reader.Command("PINPAD OFF");
    EXPECT_EQ(reader.Command("reset"), "OK");
    EXPECT_EQ(reader.Presence(), IFD_ICC_PRESENT);
    EXPECT_NE(reader.Command("STATUS").find("pinpad=on"), std::string::npos);
}

TEST_F(ReaderTest, BadSettingsLineIsNamed) {
    WriteSettings("PINPAD MAYBE\n");
    Reader reader(base + ".conf");
    std::string error;
    EXPECT_FALSE(reader.Configure(&error));
    EXPECT_EQ(error, "PINPAD MAYBE: ERR PINPAD takes ON or OFF");
}

TEST_F(ReaderTest, CommandErrors) {
    Reader reader(base);
    EXPECT_EQ(reader.Command("FLY"), "ERR unknown command FLY");
    EXPECT_EQ(reader.Command("ATR 3B"), "ERR ATR takes 2 to 33 bytes in hex");
    EXPECT_EQ(reader.Command("ATTR zz 00"), "ERR ATTR takes a hex tag and hex bytes");
    EXPECT_EQ(reader.Command("PIN 1234 0"), "ERR PIN takes a PIN and 1 to 15 tries");
    EXPECT_EQ(reader.Command("KEYS 12 ENTER"), "ERR KEYS takes digits, OK, CANCEL, BACK, TIMEOUT");
}

TEST_F(ReaderTest, AttributesCanBeSetReplacedAndRemoved) {
    Reader reader(base);
    uint8_t value[8];
    DWORD length = sizeof value;
    EXPECT_EQ(reader.Command("ATTR 7FFF0099 0102"), "OK");
    EXPECT_EQ(reader.Attribute(0x7FFF0099, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(reader.Command("ATTR 7FFF0099 010203040506070809"), "OK");
    length = sizeof value;
    EXPECT_EQ(reader.Attribute(0x7FFF0099, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(reader.Command("ATTR 7FFF0099"), "OK");
    EXPECT_EQ(reader.Attribute(0x7FFF0099, &length, value), IFD_ERROR_TAG);
}

TEST_F(ReaderTest, AtrAttributeOnlyWithACard) {
    Reader reader(base);
    uint8_t value[40];
    DWORD length = sizeof value;
    EXPECT_EQ(reader.Attribute(kAttrAtrString, &length, value), IFD_ERROR_TAG);
    reader.Command("INSERT 3B00");
    EXPECT_EQ(reader.Attribute(kAttrAtrString, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 2u);
}

TEST_F(ReaderTest, AtrAttributeCanBeWithheldWhilePowerUpStillHasIt) {
    Reader reader(base);
    reader.Command("INSERT 3B00");
    EXPECT_EQ(reader.Command("ATRATTR OFF"), "OK");
    uint8_t value[40];
    DWORD length = sizeof value;
    EXPECT_EQ(reader.Attribute(kAttrAtrString, &length, value), IFD_ERROR_TAG);
    EXPECT_EQ(reader.Attribute(TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(reader.Command("PINBLOCK iso2"), "OK");
    EXPECT_EQ(reader.Command("PINBLOCK BCD"), "ERR PINBLOCK takes ANY, ASCII8 or ISO2");
    EXPECT_EQ(reader.Command("RESET"), "OK");
    reader.Command("INSERT 3B00");
    length = sizeof value;
    EXPECT_EQ(reader.Attribute(kAttrAtrString, &length, value), IFD_SUCCESS);
}

TEST_F(ReaderTest, ControlRecordsCodeAndInput) {
    Reader reader(base);
    EXPECT_EQ(reader.Command("LASTCONTROL"), "OK NONE");
    EXPECT_EQ(Control(reader, 0x00313520, Hex("A1B2")), "A1B2");
    EXPECT_EQ(reader.Command("LASTCONTROL"), "OK 00313520 A1B2");
    EXPECT_EQ(Control(reader, 0x42000001, Hex("0102030405"), 4),
              "rc " + std::to_string(IFD_ERROR_INSUFFICIENT_BUFFER) + " returned 0");
}

TEST_F(ReaderTest, TransmitNeedsAPoweredCard) {
    Reader reader(base);
    uint8_t rx[16];
    DWORD length = sizeof rx;
    EXPECT_EQ(reader.Transmit(Hex("00A4040002A000"), rx, &length), IFD_ICC_NOT_PRESENT);
    reader.Command("INSERT");
    length = sizeof rx;
    EXPECT_EQ(reader.Transmit(Hex("00A4040002A000"), rx, &length), IFD_COMMUNICATION_ERROR);
    DWORD atrLength = MAX_ATR_SIZE;
    uint8_t atr[MAX_ATR_SIZE];
    ASSERT_EQ(reader.Power(IFD_POWER_UP, atr, &atrLength), IFD_SUCCESS);
    length = 1;
    EXPECT_EQ(reader.Transmit(Hex("00A4040002A000"), rx, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(reader.Command("LASTAPDU"), "OK 00A4040002A000");
}

TEST_F(ReaderTest, ProtocolMustBeOfferedByTheAtr) {
    Reader reader(base);
    reader.Command("CARD T0");
    reader.Command("INSERT");
    EXPECT_EQ(reader.SetProtocol(kProtocolT1), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(reader.SetProtocol(kProtocolT0), IFD_SUCCESS);
}

// A change that comes while nobody waits is still reported by the next wait.
TEST_F(ReaderTest, WaitReportsChangesMadeBeforeIt) {
    Reader reader(base);
    EXPECT_FALSE(reader.WaitForEvent(0));
    reader.Command("INSERT");
    EXPECT_TRUE(reader.WaitForEvent(60000));
    EXPECT_FALSE(reader.WaitForEvent(0));
    reader.Command("REMOVE");
    reader.Command("INSERT");  // gone and back: nothing to report
    EXPECT_FALSE(reader.WaitForEvent(0));
    reader.StopWaiting();
    EXPECT_TRUE(reader.WaitForEvent(60000));
}

} // namespace
