// The simulated reader's PIN pad as a PC/SC client meets it through pcscd.
#include "pcscd_fixture.h"

#include "bytes.h"
#include "reader.h"

using pcscdtest::kCardReader;
using simreader::Bytes;
using simreader::ToHex;

namespace {

constexpr uint8_t kAscii = 0x82;   // bytes as units, PIN at offset 0, ASCII digits
constexpr uint8_t kBinary = 0x80;  // the same with binary digits
constexpr uint8_t kBcd = 0x81;
const Bytes kVerifyTemplate{0x00, 0x20, 0x00, 0x81, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A PIN verify structure: 4 to 8 digits, confirmed by the OK key.
Bytes VerifyStructure(uint8_t format) {
    Bytes s{0x00, 0x00, format, 0x08, 0x00, 0x08, 0x04, 0x02, 0x01, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00};
    auto length = static_cast<uint32_t>(kVerifyTemplate.size());
    for (int shift = 0; shift < 32; shift += 8) s.push_back(static_cast<uint8_t>(length >> shift));
    s.insert(s.end(), kVerifyTemplate.begin(), kVerifyTemplate.end());
    return s;
}

class PinPadTest : public pcscdtest::PcscdTest {
protected:
    SCARDHANDLE card = 0;

    void SetUp() override {
        PcscdTest::SetUp();
        DWORD protocol = 0;
        ASSERT_EQ(SCardConnect(context, pcscdtest::Pcscd().ReaderName(kCardReader).c_str(), SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T1, &card, &protocol),
                  SCARD_S_SUCCESS);
    }
    void TearDown() override {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        PcscdTest::TearDown();
    }
    // The answer in hex, or "error XXXXXXXX".
    std::string Control(DWORD code, const Bytes& in = {}) {
        uint8_t out[300];
        DWORD length = 0;
        LONG rc = SCardControl(card, code, in.data(), static_cast<DWORD>(in.size()), out, sizeof out, &length);
        if (rc != SCARD_S_SUCCESS) {
            char text[32];
            std::snprintf(text, sizeof text, "error %08lX", static_cast<unsigned long>(rc));
            return text;
        }
        return ToHex(Bytes(out, out + length));
    }
    std::string KeysPressed() {
        std::string keys;
        for (std::string key; (key = Control(simreader::kCtlGetKeyPressed)) != "00";) {
            if (key.size() != 2) return keys + "?" + key;
            keys += key;
        }
        return keys;
    }
};

TEST_F(PinPadTest, FeatureAnswerHasSixByteEntriesWithTheReadersCodes) {
    EXPECT_EQ(Control(simreader::kCtlFeatureRequest),
              "010442000DAD" "020442000DAE" "050442000DB1" "0B0442000DB7" "130442000DAC");
}

TEST_F(PinPadTest, KeysFromTheControlChannelVerifyThePin) {
    EXPECT_EQ(Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii)), "");
    Sim(kCardReader, "KEYS 1 9 BACK 234 OK");
    EXPECT_EQ(KeysPressed(), "2B2B082B2B2B0D");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "9000");
    EXPECT_EQ(Sim(kCardReader, "LASTAPDU"), "OK 002000810831323334FFFFFFFF");
}

TEST_F(PinPadTest, KeysQueuedBeforeTheEntryWaitForIt) {
    Sim(kCardReader, "KEYS 1234 OK");
    EXPECT_EQ(Control(simreader::kCtlGetKeyPressed), "00");
    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii));
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "9000");
}

TEST_F(PinPadTest, WrongPinOnThePadCountsDown) {
    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii));
    Sim(kCardReader, "KEYS 9999 OK");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "63C2");
}

TEST_F(PinPadTest, BinaryDigitsAreUnderstoodToo) {
    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kBinary));
    Sim(kCardReader, "KEYS 1234 OK");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "9000");
    EXPECT_EQ(Sim(kCardReader, "LASTAPDU"), "OK 002000810801020304FFFFFFFF");
}

TEST_F(PinPadTest, EntriesEndingWithoutOkNeverReachTheCard) {
    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii));
    Sim(kCardReader, "KEYS 12 CANCEL");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "6401");

    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii));
    EXPECT_EQ(Control(simreader::kCtlAbort), "");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "6401");

    Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii));
    Sim(kCardReader, "KEYS 12");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "6400");
    EXPECT_EQ(Sim(kCardReader, "LASTAPDU"), "OK NONE");
}

TEST_F(PinPadTest, RefusedRequestsFail) {
    EXPECT_EQ(Control(simreader::kCtlVerifyPinFinish), "error 80100016");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinStart, VerifyStructure(kBcd)), "error 8010001F");
}

TEST_F(PinPadTest, WithThePinPadOffItsCodesAreEchoed) {
    Sim(kCardReader, "PINPAD OFF");
    EXPECT_EQ(Control(simreader::kCtlFeatureRequest), "130442000DAC");
    EXPECT_EQ(Control(simreader::kCtlVerifyPinStart, VerifyStructure(kAscii)), ToHex(VerifyStructure(kAscii)));
}

} // namespace
