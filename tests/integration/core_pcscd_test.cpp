// The core's card access and command interpreter against the real pcsc-lite
// client, a private pcscd and the simulated readers.
#include "pcscd_fixture.h"

#include "reader.h"

#include <gmock/gmock.h>

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using pcscdtest::HexOf;
using pcscdtest::kCardReader;
using pcscdtest::kEmptyReader;
using velmora::g_card;

namespace {

// The server writes control codes in the Windows form (0x31 << 16) | (n << 2).
constexpr const char* kWireFeatureRequest = "313520";  // n = 3400
constexpr const char* kWireEcho = "313840";            // n = 3600
constexpr const char* kEchoAtReader = "42000E10";      // 0x42000000 + 3600

class ConnectTest : public pcscdtest::PcscdTest {};

TEST_F(ConnectTest, T1CardIsConnectedWithT1) {
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    ASSERT_NE(g_card.card, 0);
    EXPECT_EQ(g_card.activeProtocol, SCARD_PROTOCOL_T1);
    EXPECT_THAT(Sim(kCardReader, "STATUS"), HasSubstr("protocol=T1"));
}

TEST_F(ConnectTest, T0CardIsConnectedWithT0) {
    SwapCard(kCardReader, "T0");
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    ASSERT_NE(g_card.card, 0);
    EXPECT_EQ(g_card.activeProtocol, SCARD_PROTOCOL_T0);
    EXPECT_THAT(Sim(kCardReader, "STATUS"), HasSubstr("protocol=T0"));
}

// pcscd negotiates T=1 when the card offers both, though its ATR names T=0
// first, and the core accepts either.
TEST_F(ConnectTest, CardOfferingBothIsConnectedWithT1) {
    SwapCard(kCardReader, "BOTH");
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    ASSERT_NE(g_card.card, 0);
    EXPECT_EQ(g_card.activeProtocol, SCARD_PROTOCOL_T1);
    EXPECT_THAT(Sim(kCardReader, "STATUS"), HasSubstr("protocol=T1"));
}

TEST_F(ConnectTest, EmptyReaderIsOpenedDirectlyOnlyWhenAllowed) {
    OpenReader(kEmptyReader);
    velmora::ConnectCard(false);
    EXPECT_EQ(g_card.card, 0);
    velmora::ConnectCard(true);
    ASSERT_NE(g_card.card, 0);
    EXPECT_TRUE(velmora::DirectConnection());
}

TEST_F(ConnectTest, CardPulledAfterOpenLeavesNoHandle) {
    OpenReader(kCardReader);
    Sim(kCardReader, "REMOVE");
    WaitForCard(kCardReader, false);
    velmora::ConnectCard(false);
    EXPECT_EQ(g_card.card, 0);
}

class FeatureTest : public pcscdtest::PcscdTest {};

TEST_F(FeatureTest, PinPadReaderGivesItsOwnCodes) {
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    EXPECT_EQ(g_card.features.verifyPinStart, simreader::kCtlVerifyPinStart);
    EXPECT_EQ(g_card.features.verifyPinFinish, simreader::kCtlVerifyPinFinish);
    EXPECT_EQ(g_card.features.getKeyPressed, simreader::kCtlGetKeyPressed);
    EXPECT_EQ(g_card.features.abort, simreader::kCtlAbort);
}

TEST_F(FeatureTest, RequestReachesReaderInPcscLiteEncoding) {
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    EXPECT_EQ(Sim(kCardReader, "LASTCONTROL"), "OK 42000D48 -");
}

TEST_F(FeatureTest, ReaderWithoutPinPadLeavesTableEmpty) {
    Sim(kCardReader, "PINPAD OFF");
    OpenReader(kCardReader);
    velmora::ConnectCard(false);
    EXPECT_EQ(g_card.features.verifyPinStart, 0u);
    EXPECT_EQ(g_card.features.verifyPinFinish, 0u);
    EXPECT_EQ(g_card.features.getKeyPressed, 0u);
    EXPECT_EQ(g_card.features.abort, 0u);
}

TEST_F(FeatureTest, DirectConnectionLearnsThemToo) {
    Sim(kEmptyReader, "PINPAD ON");
    OpenReader(kEmptyReader);
    velmora::ConnectCard(true);
    EXPECT_EQ(g_card.features.verifyPinStart, simreader::kCtlVerifyPinStart);
}

class TransmitTest : public pcscdtest::PcscdTest {
protected:
    void SetUp() override {
        PcscdTest::SetUp();
        OpenReader(kCardReader);
    }
};

TEST_F(TransmitTest, GetChallengeAnswersTheLengthAsked) {
    std::string reply = Run("TRANSMIT T1 0084000008");
    EXPECT_THAT(reply, StartsWith("200 TRANSMIT SUCCESS "));
    EXPECT_THAT(reply, EndsWith("9000"));
    EXPECT_EQ(reply.size(), std::string("200 TRANSMIT SUCCESS ").size() + 2 * (8 + 2));
}

TEST_F(TransmitTest, CommandReachesCardUnchanged) {
    EXPECT_EQ(Run("TRANSMIT T1 00A4040007A0000000041010"), "200 TRANSMIT SUCCESS 9000");
    EXPECT_EQ(Sim(kCardReader, "LASTAPDU"), "OK 00A4040007A0000000041010");
}

TEST_F(TransmitTest, VerifyCountsTriesDownAndTheRightPinRestoresThem) {
    const std::string wrong = "TRANSMIT T1 0020008104" + HexOf("9999");
    EXPECT_EQ(Run(wrong), "200 TRANSMIT SUCCESS 63C2");
    EXPECT_EQ(Run(wrong), "200 TRANSMIT SUCCESS 63C1");
    EXPECT_EQ(Run("TRANSMIT T1 0020008104" + HexOf("1234")), "200 TRANSMIT SUCCESS 9000");
    EXPECT_EQ(Run("TRANSMIT T1 00200081"), "200 TRANSMIT SUCCESS 9000");
    EXPECT_THAT(Sim(kCardReader, "STATUS"), HasSubstr("tries=3"));
}

TEST_F(TransmitTest, DecipherAnswers128Bytes) {
    std::string reply = Run("TRANSMIT T1 002A80860481020304" "00");
    ASSERT_THAT(reply, StartsWith("200 TRANSMIT SUCCESS "));
    EXPECT_EQ(reply.size(), std::string("200 TRANSMIT SUCCESS ").size() + 2 * (128 + 2));
    EXPECT_THAT(reply, EndsWith("9000"));
}

TEST_F(TransmitTest, T0CardTakesT0Commands) {
    SwapCard(kCardReader, "T0");
    OpenReader(kCardReader);
    EXPECT_EQ(Run("TRANSMIT T0 00A40000023F00"), "200 TRANSMIT SUCCESS 9000");
}

TEST_F(TransmitTest, PcscdRefusesCommandForTheOtherProtocol) {
    EXPECT_THAT(Run("TRANSMIT T0 00A40000023F00"), StartsWith("500 SCardTransmit()=8010000F: "));
    EXPECT_EQ(Sim(kCardReader, "LASTAPDU"), "OK NONE");
}

// 486 data bytes and the status word make the longest reply line: 997 characters.
TEST_F(TransmitTest, LongestAnswerThatFitsTheReplyLine) {
    std::string reply = Run("TRANSMIT T1 80EE01E6");
    EXPECT_EQ(reply.size(), 997u);
    EXPECT_THAT(reply, EndsWith("E1E2E3E4E59000"));
}

TEST_F(TransmitTest, AnswerOneByteLongerIsRefusedWhole) {
    EXPECT_EQ(Run("TRANSMIT T1 80EE01E7"), "500 transmit-buffer too short, 489 bytes, 998 chars");
}

TEST_F(TransmitTest, AnswerThatFillsTheBufferIsRefusedWhole) {
    EXPECT_EQ(Run("TRANSMIT T1 80EE03E6"), "500 transmit-buffer too short, 1000 bytes, 998 chars");
}

TEST_F(TransmitTest, AnswerBeyondTheBufferIsAnError) {
    EXPECT_THAT(Run("TRANSMIT T1 80EE03E7"), StartsWith("500 SCardTransmit()=80100008: "));
}

TEST_F(TransmitTest, EmptyReaderHasNoMedia) {
    OpenReader(kEmptyReader);
    EXPECT_EQ(Run("TRANSMIT T1 00A40000023F00"), "200 TRANSMIT NO_MEDIA");
    EXPECT_EQ(g_card.card, 0);
}

TEST_F(TransmitTest, CardPulledDuringConnectionIsAnError) {
    EXPECT_EQ(Run("TRANSMIT T1 00A40000023F00"), "200 TRANSMIT SUCCESS 9000");
    Sim(kCardReader, "REMOVE");
    WaitForCard(kCardReader, false);
    EXPECT_THAT(Run("TRANSMIT T1 00A40000023F00"), StartsWith("500 SCardTransmit()=80100069: "));
}

class IoctlTest : public pcscdtest::PcscdTest {
protected:
    void SetUp() override {
        PcscdTest::SetUp();
        OpenReader(kCardReader);
    }
};

TEST_F(IoctlTest, WireCodeReachesReaderInPcscLiteEncoding) {
    EXPECT_EQ(Run(std::string("IOCTL ") + kWireEcho + " 0102A0"), "200 IOCTL SUCCESS 0102A0");
    EXPECT_EQ(Sim(kCardReader, "LASTCONTROL"), std::string("OK ") + kEchoAtReader + " 0102A0");
}

TEST_F(IoctlTest, CodesOfOtherFormsReachReaderUnchanged) {
    EXPECT_EQ(Run(std::string("IOCTL ") + kEchoAtReader + " 55"), "200 IOCTL SUCCESS 55");
    EXPECT_EQ(Sim(kCardReader, "LASTCONTROL"), std::string("OK ") + kEchoAtReader + " 55");
    EXPECT_EQ(Run("IOCTL 12345678 AA"), "200 IOCTL SUCCESS AA");
    EXPECT_EQ(Sim(kCardReader, "LASTCONTROL"), "OK 12345678 AA");
}

TEST_F(IoctlTest, FeatureRequestInWireFormListsThePinPad) {
    std::string reply = Run(std::string("IOCTL ") + kWireFeatureRequest);
    EXPECT_THAT(reply, StartsWith("200 IOCTL SUCCESS 010442000DAD020442000DAE050442000DB1"));
}

TEST_F(IoctlTest, LongestEchoThatFitsTheReplyLine) {
    const std::string data(2 * 489, 'C');
    EXPECT_EQ(Run(std::string("IOCTL ") + kWireEcho + " " + data), "200 IOCTL SUCCESS " + data);
    EXPECT_THAT(Run(std::string("IOCTL ") + kWireEcho + " " + data + "CC"),
                StartsWith("500 transmit-buffer too short, 490 bytes"));
}

TEST_F(IoctlTest, EmptyReaderAnswersOverADirectConnectionThatIsDroppedAfter) {
    OpenReader(kEmptyReader);
    EXPECT_EQ(Run(std::string("IOCTL ") + kWireEcho + " 77"), "200 IOCTL SUCCESS 77");
    EXPECT_EQ(Sim(kEmptyReader, "LASTCONTROL"), std::string("OK ") + kEchoAtReader + " 77");
    EXPECT_EQ(g_card.card, 0);
}

class AttributeTest : public pcscdtest::PcscdTest {
protected:
    void SetUp() override {
        PcscdTest::SetUp();
        OpenReader(kCardReader);
    }
    // An attribute of `length` bytes under the serial number's tag.
    static void SetLongAttribute(size_t length) {
        Sim(kCardReader, "ATTR 00010103 " + std::string(2 * length, 'A'));
    }
};

TEST_F(AttributeTest, VendorNameComesFromTheReader) {
    Sim(kCardReader, "VENDOR Test Vendor");
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_NAME"), "200 GET_ATTRIBUTE SUCCESS " + HexOf("Test Vendor"));
}

TEST_F(AttributeTest, AtrStringIsTheCardsAtr) {
    std::string status = Sim(kCardReader, "STATUS");
    size_t at = status.find("atr=") + 4;
    std::string atr = status.substr(at, status.find(' ', at) - at);
    EXPECT_EQ(Run("GET_ATTRIBUTE ATR_STRING"), "200 GET_ATTRIBUTE SUCCESS " + atr);
}

TEST_F(AttributeTest, EmptyReaderAnswersOverADirectConnectionThatIsDroppedAfter) {
    OpenReader(kEmptyReader);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_NAME"), "200 GET_ATTRIBUTE SUCCESS " + HexOf("Velmora Sim"));
    EXPECT_EQ(g_card.card, 0);
}

// The client library refuses requests above 264 bytes; the core asks again
// within that limit, which reaches every attribute up to it.
TEST_F(AttributeTest, AttributeAtTheClientLimitIsRead) {
    SetLongAttribute(264);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_SERIAL_NO"), "200 GET_ATTRIBUTE SUCCESS " + std::string(528, 'A'));
}

// Longer attributes cannot cross pcsc-lite at all, though up to 485 bytes
// would fit the reply line.
TEST_F(AttributeTest, AttributeBeyondTheClientLimitIsAnError) {
    SetLongAttribute(265);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_SERIAL_NO"), "500 SCardGetAttrib()=80100008");
    SetLongAttribute(486);
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_IFD_SERIAL_NO"), "500 SCardGetAttrib()=80100008");
}

TEST_F(AttributeTest, AttributeTheReaderLacksIsAnError) {
    EXPECT_EQ(Run("GET_ATTRIBUTE MAX_IFSD"), "500 SCardGetAttrib()=8010001F");
}

} // namespace
