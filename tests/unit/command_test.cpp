#include "fixture.h"

#include <random>

namespace {

using fakepcsc::Seen;

class CommandTest : public CoreTest {};

// --- character check -------------------------------------------------------

TEST_F(CommandTest, FirstBadCharacterIsNamedWithItsPosition) {
    struct Case {
        std::string line;
        const char* reply;
    };
    const Case cases[] = {
        {"TRANSMIT -1 00", "500 command has invalid character '-' at position 9"},
        {"STATE!", "500 command has invalid character '!' at position 5"},
        {"'", "500 command has invalid character ''' at position 0"},
        {"A\tB", "500 command has invalid character 0x09 at position 1"},
        {"STATE\nCARD", "500 command has invalid character 0x0A at position 5"},
        {"CARD\x7F", "500 command has invalid character 0x7F at position 4"},
        {"EJECT.", "500 command has invalid character '.' at position 5"},
        {"a b_c 9 %", "500 command has invalid character '%' at position 8"},
    };
    for (const Case& c : cases) EXPECT_EQ(Run(c.line), c.reply);
}

TEST_F(CommandTest, EveryByteOutsideTheAllowedSetIsRefused) {
    for (int byte = 1; byte < 256; ++byte) {
        char c = static_cast<char>(byte);
        bool allowed = std::isalnum(byte) != 0 || c == '_' || c == ' ';
        if (byte >= 0x80) allowed = false;  // never letters, whatever the locale
        std::string line = std::string("CARD") + c;
        std::string reply = Run(line);
        if (allowed) {
            EXPECT_EQ(reply.rfind("500 invalid command", 0), 0u) << byte;
            continue;
        }
        char shown[8];
        if (byte >= 0x20 && byte < 0x7F) {
            std::snprintf(shown, sizeof shown, "'%c'", c);
        } else {
            std::snprintf(shown, sizeof shown, "0x%02X", byte);
        }
        EXPECT_EQ(reply, std::string("500 command has invalid character ") + shown + " at position 4");
    }
}

// --- keywords --------------------------------------------------------------

TEST_F(CommandTest, KeywordsMatchInAnyCaseAndOnlyAsTheTableSays) {
    OpenReader(false);
    struct Case {
        const char* line;
        const char* reply;
    };
    const Case cases[] = {
        {"", "500 invalid command ''"},
        {"state", "200 STATE SUCCESS ABSENT"},
        {"StAtE", "200 STATE SUCCESS ABSENT"},
        {"STATE X", "500 invalid command 'STATE X'"},
        {"card", "200 CARD ABSENT"},
        {"CARDS", "500 invalid command 'CARDS'"},
        {"CARD X", "500 invalid command 'CARD X'"},
        {"eject", "200 EJECT NO_MEDIA"},
        {"POWER", "500 invalid command 'POWER'"},
        {"power UP", "200 POWER SUCCESS"},
        {"POWER  ", "200 POWER SUCCESS"},
        {"Set_Attribute 1", "500 SET_ATTRIBUTE not implemented yet"},
        {"SET_PROTOCOL T1", "500 SET_PROTOCOL not implemented yet"},
        {"swallow x", "500 SWALLOW not implemented yet"},
        {"SWALLOW", "500 invalid command 'SWALLOW'"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "500 invalid command 'ABCDEFGHIJKLMNOPQRST'"},
    };
    for (const Case& c : cases) EXPECT_EQ(Run(c.line), c.reply) << c.line;
}

TEST_F(CommandTest, StateAndCardFollowTheRecordedPresentBitWithoutAsking) {
    OpenReader(true);
    EXPECT_EQ(Run("STATE"), "200 STATE SUCCESS SPECIFIC");
    EXPECT_EQ(Run("CARD"), "200 CARD PRESENT");
    fakepcsc::RemoveCard(reader);  // not yet seen by the monitor
    EXPECT_EQ(Run("CARD"), "200 CARD PRESENT");
    EXPECT_EQ(Seen().sharedConnects, 0);
}

TEST_F(CommandTest, EjectTellsWhetherAConnectionIsHeld) {
    OpenReader(true);
    EXPECT_EQ(Run("EJECT"), "200 EJECT NO_MEDIA");
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    EXPECT_EQ(Run("EJECT"), "200 EJECT NOT_SUPPORTED");
}

// --- TRANSMIT --------------------------------------------------------------

TEST_F(CommandTest, TransmitConnectsBeforeItLooksAtTheProtocol) {
    OpenReader(false);
    EXPECT_EQ(Run("TRANSMIT X9 00"), "200 TRANSMIT NO_MEDIA");
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT NO_MEDIA");
    EXPECT_EQ(Seen().directConnects, 0);  // TRANSMIT never talks to the reader alone
}

TEST_F(CommandTest, TransmitProtocolFollowsTheCommand) {
    OpenReader(true, SCARD_PROTOCOL_T1);
    const uint8_t ok[] = {0x90, 0x00};
    fakepcsc::SetTransmitAnswer(ok, sizeof ok);
    EXPECT_EQ(Run("transmit t0 00a4040007"), "200 TRANSMIT SUCCESS 9000");
    EXPECT_EQ(Seen().lastPciProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(Seen().lastSentLength, 5u);
    EXPECT_EQ(Run("TRANSMIT T100B00000"), "200 TRANSMIT SUCCESS 9000");  // no blank needed
    EXPECT_EQ(Seen().lastPciProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(Seen().lastSentLength, 4u);
    EXPECT_EQ(Run("TRANSMIT T2 00"), "500 invalid protocol in TRANSMIT T2 00");
    EXPECT_EQ(Run("TRANSMIT T"), "500 invalid protocol in TRANSMIT T");
    EXPECT_EQ(Run("TRANSMIT "), "500 invalid protocol in TRANSMIT ");
    EXPECT_EQ(Seen().sharedConnects, 1);  // one connection serves them all
}

// No APDU is shorter than its header; the reader never sees one.
TEST_F(CommandTest, TransmitShorterThanAnApduHeaderIsRefusedWithoutTheReader) {
    OpenReader(true, SCARD_PROTOCOL_T1);
    char text[1000];
    velmora::SystemMessageText(SCARD_E_INVALID_PARAMETER, text, sizeof text);
    const std::string refusal = std::string("500 SCardTransmit()=80100004: ") + text;
    for (const char* line : {"TRANSMIT T1", "TRANSMIT T1 ", "TRANSMIT T0 00", "TRANSMIT T1 00A4",
                             "TRANSMIT T1 00A404", "TRANSMIT T1 00A404G"}) {
        EXPECT_EQ(Run(line), refusal) << line;
    }
    EXPECT_EQ(Seen().transmits, 0);
    EXPECT_EQ(Run("TRANSMIT T1 00A40400"), "200 TRANSMIT SUCCESS");
    EXPECT_EQ(Seen().transmits, 1);
}

TEST_F(CommandTest, TransmitAnswerSizeLimits) {
    OpenReader(true);
    SetTransmitAnswer(0);
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    SetTransmitAnswer(488, 0xAB);
    std::string reply = Run("TRANSMIT T1 00B00000");
    EXPECT_EQ(reply.size(), 997u);
    std::string hex;
    for (int i = 0; i < 488; ++i) hex += "AB";
    EXPECT_EQ(reply, "200 TRANSMIT SUCCESS " + hex);
    SetTransmitAnswer(489);
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "500 transmit-buffer too short, 489 bytes, 998 chars");
    SetTransmitAnswer(1000);
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "500 transmit-buffer too short, 1000 bytes, 998 chars");
}

// A removed or reset card's handle fails for good: that failure is answered
// once, then the next command connects anew. Other failures keep the handle.
TEST_F(CommandTest, TransmitFailureKeepsTheCardConnectionUnlessTheCardChanged) {
    struct Case {
        LONG status;
        const char* command;
        const char* reply;
        bool dropped;
    } cases[] = {
        {static_cast<LONG>(SCARD_W_REMOVED_CARD), "TRANSMIT T1 00B00000",
         "500 SCardTransmit()=80100069: The smart card has been removed, so further "
         "communication is not possible.", true},
        {static_cast<LONG>(SCARD_W_RESET_CARD), "TRANSMIT T1 00B00000",
         "500 SCardTransmit()=80100068: The smart card has been reset, so any shared state "
         "information is invalid.", true},
        {static_cast<LONG>(SCARD_W_RESET_CARD), "IOCTL 42", "500 SCardControl()=80100068: ", true},
        {static_cast<LONG>(SCARD_W_REMOVED_CARD), "GET_ATTRIBUTE ATR_STRING",
         "500 SCardGetAttrib()=80100069", true},
        {static_cast<LONG>(0x80100099), "TRANSMIT T1 00B00000",
         "500 SCardTransmit()=80100099: Unknown status 0x80100099.", false},
        {static_cast<LONG>(SCARD_E_NOT_TRANSACTED), "IOCTL 42", "500 SCardControl()=80100016: ",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        TearDown();
        SetUp();
        OpenReader(true);
        EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
        fakepcsc::Fail().transmit = c.status;
        fakepcsc::Fail().control = c.status;
        fakepcsc::Fail().getAttrib = c.status;
        EXPECT_EQ(Run(c.command).rfind(c.reply, 0), 0u);
        EXPECT_EQ(velmora::g_card.card == 0, c.dropped);
        fakepcsc::Fail() = {};
        EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
        EXPECT_EQ(Seen().sharedConnects, c.dropped ? 2 : 1);
    }
}

// --- IOCTL -----------------------------------------------------------------

TEST_F(CommandTest, IoctlWithoutAnyConnectionIsNoMediaBeforeTheCodeCheck) {
    // No reader was ever opened: the name is empty and the connect fails.
    EXPECT_EQ(Run("IOCTL 0"), "200 IOCTL NO_MEDIA");
    EXPECT_EQ(Run("IOCTL XYZ"), "200 IOCTL NO_MEDIA");
    EXPECT_EQ(dialog.status.rfind("SCardConnect()=80100009, ", 0), 0u);
}

TEST_F(CommandTest, IoctlCodeChecks) {
    OpenReader(false);
    EXPECT_EQ(Run("IOCTL 0"), "500 invalid ioctl in IOCTL 0)");
    EXPECT_EQ(Run("IOCTL XYZ"), "500 invalid ioctl in IOCTL XYZ)");
    EXPECT_EQ(Run("IOCTL "), "500 invalid ioctl in IOCTL )");
    EXPECT_EQ(Seen().controls, 0);
    EXPECT_EQ(Seen().openHandles, 0);  // each direct connection was dropped
    EXPECT_EQ(Seen().directConnects, 3);
}

TEST_F(CommandTest, IoctlCodesFromTheWireReachTheReaderInItsEncoding) {
    OpenReader(true);
    EXPECT_EQ(Run("IOCTL 313530"), "200 IOCTL SUCCESS");  // function 3404
    EXPECT_EQ(Seen().lastControlCode, static_cast<DWORD>(velmora::PlatformCtlCode(3404)));
    EXPECT_EQ(Run("IOCTL 0x42000D4C"), "200 IOCTL SUCCESS");  // not of the wire form
    EXPECT_EQ(Seen().lastControlCode, 0x42000D4Cu);
    EXPECT_EQ(Run("IOCTL 1234 0102"), "200 IOCTL SUCCESS");
    EXPECT_EQ(Seen().lastControlCode, 0x1234u);
    EXPECT_EQ(Seen().lastSentLength, 2u);
    EXPECT_EQ(Run("IOCTL 1234ab"), "200 IOCTL SUCCESS");  // the digits all belong to the code
    EXPECT_EQ(Seen().lastControlCode, 0x1234ABu);
    EXPECT_EQ(Seen().lastSentLength, 0u);
    EXPECT_EQ(Run("IOCTL FFFFFFFFFFFF"), "200 IOCTL SUCCESS");
    EXPECT_EQ(Seen().lastControlCode, 0xFFFFFFFFu);  // saturates like a 32-bit strtoul
}

TEST_F(CommandTest, IoctlAnswerSizeLimits) {
    OpenReader(true);
    SetControlAnswer(0);
    EXPECT_EQ(Run("IOCTL 1"), "200 IOCTL SUCCESS");
    SetControlAnswer(489);
    EXPECT_EQ(Run("IOCTL 1").size(), 996u);
    SetControlAnswer(490);
    EXPECT_EQ(Run("IOCTL 1"), "500 transmit-buffer too short, 490 bytes, 998 chars");
    fakepcsc::Fail().control = static_cast<LONG>(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(Run("IOCTL 1"),
              "500 SCardControl()=80100016: An attempt was made to end a non-existent transaction.");
}

TEST_F(CommandTest, DirectConnectionLastsOnlyForItsCommand) {
    OpenReader(false);
    EXPECT_EQ(Run("IOCTL 1"), "200 IOCTL SUCCESS");
    EXPECT_EQ(velmora::g_card.card, 0u);
    EXPECT_EQ(Seen().openHandles, 0);
    fakepcsc::Fail().control = static_cast<LONG>(SCARD_E_NOT_TRANSACTED);
    Run("IOCTL 1");
    EXPECT_EQ(Seen().openHandles, 0);  // dropped on failure too
    EXPECT_EQ(Seen().directConnects, 2);
}

TEST_F(CommandTest, CardConnectionOutlivesIoctlAndGetAttribute) {
    OpenReader(true);
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    SCARDHANDLE held = velmora::g_card.card;
    Run("IOCTL 1");
    Run("GET_ATTRIBUTE VENDOR_NAME");
    Run("IOCTL 0");
    EXPECT_EQ(velmora::g_card.card, held);
    EXPECT_EQ(Seen().sharedConnects, 1);
    EXPECT_EQ(Seen().disconnects, 0);
}

// --- bad input -------------------------------------------------------------

TEST_F(CommandTest, ArbitraryLinesGetOneBoundedReply) {
    OpenReader(true);
    SetTransmitAnswer(300);
    std::mt19937 random(1234);
    const char* stems[] = {"TRANSMIT T1 ", "IOCTL ", "GET_ATTRIBUTE ", "POWER ", "", "STATE"};
    for (int i = 0; i < 3000; ++i) {
        std::string line = stems[random() % 6];
        size_t length = random() % (velmora::kCommandMax + 1);
        bool printable = random() % 2 == 0;
        while (line.size() < length) {
            char c = printable ? "0123456789ABCDEFx _"[random() % 19]
                               : static_cast<char>(1 + random() % 255);
            line += c;
        }
        line.resize(std::min(line.size(), velmora::kCommandMax));
        std::string reply = Run(line);
        ASSERT_TRUE(reply.rfind("200 ", 0) == 0 || reply.rfind("500 ", 0) == 0) << reply;
        ASSERT_EQ(reply.find('\n'), std::string::npos);
    }
}

TEST_F(CommandTest, TheDefaultReplyNeverSurvives) {
    OpenReader(true);
    for (const char* line : {"", "STATE", "IOCTL 1", "TRANSMIT T1", "GET_ATTRIBUTE X", "Q"}) {
        EXPECT_EQ(Run(line).find("unspecific"), std::string::npos) << line;
    }
}

} // namespace

// --- RECONNECT (velmora-reader's reset and power-down) ---------------------

TEST_F(CommandTest, ReconnectResetsOrUnpowersTheHeldCard) {
    struct Case {
        const char* line;
        bool card;
        LONG failure;
        const char* reply;
        DWORD init;
        bool held;  // a card connection after the command
    } cases[] = {
        {"RECONNECT RESET", true, 0, "200 RECONNECT SUCCESS", SCARD_RESET_CARD, true},
        {"reconnect unpower", true, 0, "200 RECONNECT SUCCESS", SCARD_UNPOWER_CARD, true},
        {"RECONNECT RESET", false, 0, "200 RECONNECT NO_MEDIA", 0, false},
        {"RECONNECT RESET", true, static_cast<LONG>(SCARD_W_REMOVED_CARD),
         "500 SCardReconnect()=80100069: The smart card has been removed", SCARD_RESET_CARD, false},
        {"RECONNECT UNPOWER", true, static_cast<LONG>(SCARD_E_SHARING_VIOLATION),
         "500 SCardReconnect()=8010000B: ", SCARD_UNPOWER_CARD, true},
        {"RECONNECT", true, 0, "500 invalid command 'RECONNECT'", 0, false},
        {"RECONNECT LEAVE", true, 0, "500 invalid command 'RECONNECT LEAVE'", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        OpenReader(c.card);
        fakepcsc::Fail().reconnect = c.failure;
        EXPECT_EQ(Run(c.line).rfind(c.reply, 0), 0u) << Run(c.line);
        EXPECT_EQ(Seen().lastReconnectInit, c.init);
        EXPECT_EQ(velmora::g_card.card != 0, c.held);
    }
}
