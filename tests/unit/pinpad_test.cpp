// The PIN-pad bridge against the fake reader and a fake PIN entry dialog.
#include "pinpad_fixture.h"

#include <memory>
#include <sstream>
#include <string>

namespace {

using velmora::g_card;
using velmora::g_pinpad;
using velmora::kPinPadAbort;
using velmora::kPinPadGetKeyPressed;
using velmora::kPinPadVerifyFinish;
using velmora::kPinPadVerifyStart;

constexpr LONG kUntouched = 0x5EED;
constexpr size_t kUntouchedLength = 4242;
// The reader's own codes, in the platform encoding as the feature table has them.
constexpr uint32_t kReaderStart = velmora::PlatformCtlCode(3500);
constexpr uint32_t kReaderFinish = velmora::PlatformCtlCode(3501);
constexpr uint32_t kReaderKey = velmora::PlatformCtlCode(3502);
constexpr uint32_t kReaderAbort = velmora::PlatformCtlCode(3503);

struct Result {
    bool handled;
    LONG status;
    size_t length;
    uint8_t out[velmora::kPinPadOutputSize];

    std::vector<uint8_t> Bytes() const { return {out, out + (length <= sizeof out ? length : 0)}; }
};

std::vector<uint8_t> Sent() {
    const auto& seen = fakepcsc::Seen();
    return {seen.lastSent, seen.lastSent + seen.lastSentLength};
}

class PinPadTest : public PinPadCoreTest {
protected:
    static void Mapped() {
        g_card.features =
            velmora::FeatureTable{kReaderStart, kReaderFinish, kReaderKey, kReaderAbort};
    }
    static std::unique_ptr<Result> Control(uint32_t code, const std::vector<uint8_t>& in = {}) {
        auto r = std::make_unique<Result>();
        r->status = kUntouched;
        r->length = kUntouchedLength;
        std::memset(r->out, 0xEE, sizeof r->out);
        r->handled =
            velmora::PinPadControl(code, in.data(), in.size(), r->out, &r->length, &r->status);
        return r;
    }
    static void Start(std::initializer_list<uint8_t> abData = {0x00, 0x20, 0x00, 0x81},
                      uint8_t minLength = 0, uint8_t maxLength = 8) {
        auto r = Control(kPinPadVerifyStart, StartRequest(abData, minLength, maxLength));
        ASSERT_TRUE(r->handled);
        ASSERT_EQ(r->status, SCARD_S_SUCCESS);
    }
    static int Poll() {
        auto r = Control(kPinPadGetKeyPressed);
        EXPECT_TRUE(r->handled);
        EXPECT_EQ(r->status, SCARD_S_SUCCESS);
        EXPECT_EQ(r->length, 1u);
        return r->out[0];
    }
    void RunStep(const std::string& step) {
        const std::string arg = step.substr(1);
        if (step[0] == '+') {
            View().Type(arg.c_str());
        } else if (step == "<") {
            View().Backspace();
        } else if (step == "clear") {
            View().Clear();
        } else if (step == "ok") {
            View().PressOk();
        } else if (step == "close") {
            View().PressClose();
        } else if (step == "abort") {
            EXPECT_EQ(Control(kPinPadAbort)->status, SCARD_S_SUCCESS);
        } else if (step[0] == '?') {
            EXPECT_EQ(Poll(), std::stoi(arg, nullptr, 16));
        } else if (step[0] == '=') {
            EXPECT_EQ(g_pinpad.keyCounter, std::stoi(arg));
        } else if (step == "f-") {
            EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_E_SYSTEM_CANCELLED);
        } else {
            ASSERT_EQ(step[0], 'f');
            auto r = Control(kPinPadVerifyFinish);
            EXPECT_EQ(r->status, SCARD_S_SUCCESS);
            EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{0x90, 0x90}));
            ASSERT_EQ(fakepcsc::Seen().lastSentLength, 5 + std::stoul(arg));
            EXPECT_EQ(fakepcsc::Seen().lastSent[4], std::stoi(arg));
        }
    }
};

TEST_F(PinPadTest, CodesThatAreNotTheBridgesTouchNothing) {
    Start();
    View().Type("12");
    const uint32_t codes[] = {
        0x313520,  // feature request
        0x313538,  // verify PIN direct
        velmora::PlatformCtlCode(3401),
        kPinPadVerifyStart | 0x40000000u,
        0x313525, 0,
    };
    for (uint32_t code : codes) {
        auto r = Control(code, StartRequest({1, 2, 3, 4}));
        EXPECT_FALSE(r->handled) << std::hex << code;
        EXPECT_EQ(r->status, kUntouched) << std::hex << code;
        EXPECT_EQ(r->length, kUntouchedLength) << std::hex << code;
        EXPECT_EQ(r->out[0], 0xEE) << std::hex << code;
    }
    EXPECT_EQ(fakepcsc::Seen().controls, 0);
    EXPECT_EQ(g_pinpad.keyCounter, 0);
    EXPECT_EQ(velmora::PinDialog(), &View());
}

TEST_F(PinPadTest, StartNeedsTheHeaderOfTheVerifyApdu) {
    auto shortInput = StartRequest({0x00, 0x20, 0x00, 0x81});
    shortInput.pop_back();
    auto r = Control(kPinPadVerifyStart, shortInput);
    EXPECT_EQ(r->status, SCARD_E_SYSTEM_CANCELLED);
    EXPECT_EQ(velmora::PinDialog(), nullptr);
    EXPECT_EQ(g_pinpad.maxLength, 0);
    EXPECT_EQ(g_pinpad.verifyApdu[1], 0);

    r = Control(kPinPadVerifyStart, StartRequest({0x00, 0x20, 0x00, 0x81}));
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(r->length, 0u);
    EXPECT_NE(velmora::PinDialog(), nullptr);
    EXPECT_EQ(g_pinpad.verifyApdu[1], 0x20);
}

// The typed PIN goes only into a VERIFY: a decipher or an append-record
// template would let the server read it back from the card.
TEST_F(PinPadTest, StartWhoseTemplateIsNotAVerifyIsRefusedBeforeAnyDialog) {
    struct Case {
        std::vector<uint8_t> abData;
        uint8_t dataLength;  // low byte of ulDataLength
        bool accepted;
    } cases[] = {
        {{0x00, 0x20, 0x00, 0x81}, 4, true},
        {{0x00, 0x21, 0x00, 0x81}, 4, true},
        {{0x00, 0x2A, 0x80, 0x86}, 4, false},  // PSO DECIPHER
        {{0x00, 0xE2, 0x00, 0x00}, 4, false},  // APPEND RECORD
        {{0x00, 0x24, 0x00, 0x81}, 4, false},  // CHANGE REFERENCE DATA
        {{0x00, 0x20, 0x00, 0x81}, 1, false},  // the finish would use the zeroed INS
        {{0x00, 0xB2, 0x00, 0x81}, 0, false},  // the reader would see a READ RECORD
    };
    for (bool mapped : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "mapped " << mapped << " INS " << int(c.abData[1])
                                            << " length " << int(c.dataLength));
            velmora::ResetPinPad();
            velmora::ClosePinDialog();
            g_card.features = {};
            if (mapped) Mapped();
            const int controls = fakepcsc::Seen().controls;
            std::vector<uint8_t> in(19 + c.abData.size(), 0);
            in[5] = 8;
            in[15] = c.dataLength;
            for (size_t i = 0; i < c.abData.size(); ++i) in[19 + i] = c.abData[i];
            auto r = Control(kPinPadVerifyStart, in);
            EXPECT_EQ(r->status, c.accepted ? SCARD_S_SUCCESS : SCARD_E_SYSTEM_CANCELLED);
            EXPECT_EQ(velmora::PinDialog() != nullptr, c.accepted);
            EXPECT_EQ(fakepcsc::Seen().controls - controls, c.accepted && mapped ? 1 : 0);
            EXPECT_EQ(g_pinpad.maxLength, c.accepted ? 8 : 0);
        }
    }
}

TEST_F(PinPadTest, SecondStartIsRefusedWhileTheDialogIsOpen) {
    for (bool mapped : {false, true}) {
        velmora::ResetPinPad();
        g_card.features = {};
        if (mapped) Mapped();
        Start({0x00, 0x20, 0x00, 0x81}, 4, 8);
        FakePinView* first = &View();
        int created = shell.pinDialogsCreated;
        int controls = fakepcsc::Seen().controls;
        auto r = Control(kPinPadVerifyStart, StartRequest({0x80, 0x21, 0x01, 0x02}, 1, 2));
        EXPECT_EQ(r->status, SCARD_E_SYSTEM_CANCELLED) << mapped;
        EXPECT_EQ(shell.pinDialogsCreated, created) << mapped;
        EXPECT_EQ(velmora::PinDialog(), first) << mapped;
        EXPECT_FALSE(first->destroyed) << mapped;
        EXPECT_EQ(fakepcsc::Seen().controls, controls) << mapped;
        EXPECT_EQ(g_pinpad.minLength, 4) << mapped;
        EXPECT_EQ(g_pinpad.verifyApdu[0], 0x00) << mapped;
    }
}

TEST_F(PinPadTest, AbDataIsCopiedWithinItsLengthTheInputAndTheBuffer) {
    Start({0xA0, 0x20, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});
    velmora::ClosePinDialog();

    // ulDataLength 256: only its low byte counts, so nothing is copied.
    auto in = StartRequest({0x00, 0x20, 0x00, 0x81});
    in[15] = 0x00;
    in[16] = 0x01;
    EXPECT_EQ(Control(kPinPadVerifyStart, in)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(g_pinpad.verifyApdu[0], 0xA0);
    EXPECT_EQ(g_pinpad.verifyApdu[3], 0xA3);
    velmora::ClosePinDialog();

    // ulDataLength 13 with 25 input bytes: the 6 that are there.
    in = StartRequest({0x10, 0x21, 0x12, 0x13, 0x14, 0x15});
    in[15] = 13;
    EXPECT_EQ(Control(kPinPadVerifyStart, in)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(g_pinpad.verifyApdu[5], 0x15);
    EXPECT_EQ(g_pinpad.verifyApdu[6], 0xA6);
    velmora::ClosePinDialog();

    // 255 bytes of abData: the buffer's 100.
    in = StartRequest({});
    in[15] = 255;
    for (int i = 0; i < 255; ++i) in.push_back(static_cast<uint8_t>(i == 1 ? 0x20 : i));
    EXPECT_EQ(Control(kPinPadVerifyStart, in)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(g_pinpad.verifyApdu[99], 99);
}

TEST_F(PinPadTest, StartOpensTheDialogInTheStateOfItsMode) {
    Start({0x00, 0x20, 0x00, 0x81}, 4, 8);
    EXPECT_EQ(shell.pinOwner, &dialog);
    EXPECT_FALSE(View().readOnly);
    EXPECT_TRUE(View().okEnabled);  // at first, whatever the lengths say
    EXPECT_TRUE(View().focused);
    EXPECT_TRUE(View().inFront);
    EXPECT_EQ(g_pinpad.minLength, 4);
    EXPECT_EQ(g_pinpad.maxLength, 8);
    EXPECT_EQ(fakepcsc::Seen().controls, 0);
    velmora::ClosePinDialog();

    Mapped();
    SetControlAnswer(2, 0x90);
    auto in = StartRequest({0x00, 0x20, 0x00, 0x81}, 4, 8);
    auto r = Control(kPinPadVerifyStart, in);
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{0x90, 0x90}));
    EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderStart);
    EXPECT_EQ(Sent(), in);
    EXPECT_TRUE(View().readOnly);
    EXPECT_FALSE(View().okEnabled);
}

TEST_F(PinPadTest, FailedMappedStartLeavesTheDialogOpen) {
    Mapped();
    fakepcsc::Fail().control = SCARD_E_TIMEOUT;
    EXPECT_EQ(Control(kPinPadVerifyStart, StartRequest({0, 0x20, 0, 0x81}))->status,
              SCARD_E_TIMEOUT);
    EXPECT_NE(velmora::PinDialog(), nullptr);
}

TEST_F(PinPadTest, StartWithoutADialogLeavesNoEntryPending) {
    Start();
    View().Type("1234");
    View().PressOk();
    shell.pinDialogFails = true;
    auto r = Control(kPinPadVerifyStart, StartRequest({0x80, 0x20, 0x00, 0x01}, 2, 6));
    EXPECT_EQ(r->status, SCARD_E_SYSTEM_CANCELLED);
    EXPECT_EQ(g_pinpad.maxLength, 6);
    EXPECT_EQ(g_pinpad.verifyApdu[0], 0x80);
    // The confirmed PIN belonged to the superseded entry.
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_E_SYSTEM_CANCELLED);
    EXPECT_EQ(fakepcsc::Seen().transmits, 0);
}

// The emulated entry as the server's polls see it. A script is a list of
// steps: +DIGITS type, < backspace, clear, ok, close, abort; ?XX poll and
// expect key XX; fN finish and expect Lc N sent, f- finish refused; =N the
// key counter is N.
struct Scenario {
    const char* name;
    bool start;
    const char* script;
};

TEST_F(PinPadTest, EmulatedKeysFollowTheFieldOneStepPerPoll) {
    const Scenario scenarios[] = {
        {"never started", false, "?0D =-1"},
        {"four digits", true, "+1234 ?2B ?2B ?2B ?2B ?00 =4"},
        {"cleared after three", true, "+123 ?2B ?2B ?2B clear ?0A =0 ?00"},
        {"cleared after one", true, "+1 ?2B clear ?08 =0"},
        {"five down to two", true, "+12345 ?2B ?2B ?2B ?2B ?2B < < < ?08 ?08 ?08 ?00 =2"},
        {"corrected before polled", true, "+12 ?2B +3 < < ?00 +9 ?2B"},
        {"OK before every digit was polled", true, "+1234 ?2B ok ?0D ?0D f4 =-1"},
        {"OK at once", true, "ok ?0D f0"},
        {"closed", true, "+12 ?2B close ?0D =-1 f-"},
        {"finish before OK", true, "+12 ?2B f- =1 ?2B +3 ?2B ok ?0D f3 f-"},
        {"finish with nothing typed", true, "f- f- abort f-"},
        {"aborted", true, "+1 ?2B abort ?0D f-"},
        {"finished twice", true, "+4711 ok f4 f-"},
    };
    SetTransmitAnswer(2, 0x90);
    for (const Scenario& s : scenarios) {
        velmora::ResetPinPad();
        if (s.start) Start();
        std::istringstream steps(s.script);
        std::string step;
        while (steps >> step) {
            SCOPED_TRACE(testing::Message() << s.name << ": " << step);
            RunStep(step);
        }
    }
}

TEST_F(PinPadTest, VerifyApduCarriesTheTypedPinAfterTheStartsHeader) {
    SetTransmitAnswer(2, 0x90);
    Start({0x00, 0x20, 0x00, 0x81, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    View().Type("4711");
    while (Poll() != 0x00) {
    }
    View().PressOk();
    auto r = Control(kPinPadVerifyFinish);
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(Sent(), (std::vector<uint8_t>{0x00, 0x20, 0x00, 0x81, 0x04, '4', '7', '1', '1'}));
    EXPECT_EQ(fakepcsc::Seen().lastPciProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{0x90, 0x90}));
}

// A card that wants an FF-padded block gets it, and no byte of it stays.
TEST_F(PinPadTest, VerifyApduIsLaidOutAsTheStructureAsks) {
    SetTransmitAnswer(2, 0x90);
    auto in = StartRequest({0x00, 0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 4, 8);
    in[2] = 0x82;  // ASCII, byte position 0
    in[3] = 0x08;  // an 8-byte block
    ASSERT_EQ(Control(kPinPadVerifyStart, in)->status, SCARD_S_SUCCESS);
    View().Type("123456");
    View().PressOk();
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(Sent(), (std::vector<uint8_t>{0x00, 0x20, 0x00, 0x00, 0x08, '1', '2', '3', '4', '5', '6', 0xFF, 0xFF}));
    for (size_t i = 5; i < sizeof g_pinpad.verifyApdu; ++i) EXPECT_EQ(g_pinpad.verifyApdu[i], 0) << i;
}

// An emulated entry that could not lay the PIN out opens no dialog; the
// reader's own pad applies the structure itself and is asked as before.
TEST_F(PinPadTest, StructureTheEmulationCannotHonourIsRefusedBeforeAnyDialog) {
    auto in = StartRequest({0x00, 0x20, 0x00, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, 4, 8);
    in[2] = 0x82;
    in[3] = 0x04;  // 4 bytes for up to 8 ASCII digits
    for (bool mapped : {false, true}) {
        SCOPED_TRACE(mapped);
        velmora::ResetPinPad();
        if (mapped) Mapped();
        auto r = Control(kPinPadVerifyStart, in);
        EXPECT_EQ(r->status, mapped ? SCARD_S_SUCCESS : SCARD_E_SYSTEM_CANCELLED);
        EXPECT_EQ(velmora::PinDialog() != nullptr, mapped);
        EXPECT_EQ(g_pinpad.maxLength, mapped ? 8 : 0);
    }
}

TEST_F(PinPadTest, PinIsUsedOnceAndWipedAfterSending) {
    Start({0x00, 0x20, 0x00, 0x81}, 0, 30);
    View().Type("12345678901234567890");
    View().PressOk();
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_S_SUCCESS);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 24u);  // 19 digits at most
    EXPECT_EQ(sent[4], 19);
    EXPECT_EQ(std::string(sent.begin() + 5, sent.end()), "1234567890123456789");
    for (char c : g_pinpad.pin) EXPECT_EQ(c, '\0');
    for (size_t i = 5; i < 24; ++i) EXPECT_EQ(g_pinpad.verifyApdu[i], 0) << i;

    // A confirmed PIN that was never sent dies with the next start.
    Start();
    View().Type("9999");
    View().PressOk();
    Start();
    for (char c : g_pinpad.pin) EXPECT_EQ(c, '\0');
    View().PressOk();
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(Sent().size(), 5u);
}

// A confirmed PIN that no finish can send any more is not kept.
TEST_F(PinPadTest, PinOfAnEndedEntryIsNotKept) {
    Start();
    View().Type("1234");
    View().PressOk();
    EXPECT_EQ(Control(kPinPadAbort)->status, SCARD_S_SUCCESS);
    for (char c : g_pinpad.pin) EXPECT_EQ(c, '\0');
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_E_SYSTEM_CANCELLED);
}

// A finish before the user's OK would burn a try with a PIN nobody
// confirmed: the card sees nothing, and the entry goes on.
TEST_F(PinPadTest, EmulatedFinishBeforeOkNeverReachesTheCard) {
    SetTransmitAnswer(2, 0x90);
    for (int round = 0; round < 3; ++round) {
        Start();
        if (round == 1) View().Type("12");
        EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_E_SYSTEM_CANCELLED);
        EXPECT_NE(velmora::PinDialog(), nullptr);
        EXPECT_EQ(Control(kPinPadAbort)->status, SCARD_S_SUCCESS);
    }
    EXPECT_EQ(fakepcsc::Seen().transmits, 0);
}

TEST_F(PinPadTest, UnterminatedPinTextIsSentAsItsFirstNineteen) {
    Start();
    View().PressOk();
    std::memset(g_pinpad.pin, '5', sizeof g_pinpad.pin);
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_S_SUCCESS);
    EXPECT_EQ(Sent().size(), 24u);
}

TEST_F(PinPadTest, VerifyApduGoesWithTheActiveProtocol) {
    for (DWORD protocol : {DWORD{SCARD_PROTOCOL_T0}, DWORD{SCARD_PROTOCOL_T1}}) {
        velmora::DisconnectCard();
        fakepcsc::InsertCard(reader, protocol);
        velmora::ConnectCard(false);
        ASSERT_EQ(g_card.activeProtocol, protocol);
        Start();
        View().PressOk();
        EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_S_SUCCESS);
        EXPECT_EQ(fakepcsc::Seen().lastPciProtocol, protocol);
    }
}

TEST_F(PinPadTest, FailedVerifyTransmitIsPassedOnAndEndsTheEntry) {
    Start();
    View().Type("1234");
    View().PressOk();
    fakepcsc::Fail().transmit = SCARD_W_REMOVED_CARD;
    EXPECT_EQ(Control(kPinPadVerifyFinish)->status, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(g_pinpad.keyCounter, -1);
    for (char c : g_pinpad.pin) EXPECT_EQ(c, '\0');
}

TEST_F(PinPadTest, MaskedEchoMirrorsTheReadersKeysAsStars) {
    struct Case {
        uint8_t key;
        int times;
        size_t stars;
    };
    const Case cases[] = {
        {0x2B, 3, 3}, {0x2B, 30, 32}, {0x2B, 1, 32}, {0x08, 1, 31}, {0x0D, 1, 31},
        {0x00, 1, 31}, {0x0A, 1, 0},  {0x08, 1, 0},  {0x2B, 1, 1},
    };
    Mapped();
    Start({0x00, 0x20, 0x00, 0x81}, 4, 8);
    FakePinView& view = View();
    for (const Case& c : cases) {
        for (int i = 0; i < c.times; ++i) {
            fakepcsc::SetControlAnswer(&c.key, 1);
            int writes = view.writes;
            EXPECT_EQ(Poll(), c.key);
            EXPECT_EQ(view.writes, writes + 1);  // rewritten even when unchanged
        }
        EXPECT_EQ(std::string(view.text), std::string(c.stars, '*')) << int{c.key};
        EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderKey);
    }
    // A longer field than the echo writes is cut to 32 as well.
    std::snprintf(view.text, sizeof view.text, "%s", std::string(40, '*').c_str());
    const uint8_t correction = 0x08;
    fakepcsc::SetControlAnswer(&correction, 1);
    EXPECT_EQ(Poll(), 0x08);
    EXPECT_EQ(std::string(view.text), std::string(32, '*'));
}

TEST_F(PinPadTest, MaskedEchoOnlyForASuccessfulOneByteAnswerWithADialog) {
    Mapped();
    Start();
    FakePinView& view = View();
    SetControlAnswer(2, 0x2B);
    auto r = Control(kPinPadGetKeyPressed);
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{0x2B, 0x2B}));
    SetControlAnswer(1, 0x2B);
    fakepcsc::Fail().control = SCARD_E_TIMEOUT;
    EXPECT_EQ(Control(kPinPadGetKeyPressed)->status, SCARD_E_TIMEOUT);
    EXPECT_EQ(view.writes, 0);

    fakepcsc::Fail().control = 0;
    velmora::ClosePinDialog();
    r = Control(kPinPadGetKeyPressed);
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(r->Bytes(), std::vector<uint8_t>{0x2B});
    EXPECT_EQ(view.writes, 0);
}

TEST_F(PinPadTest, MappedFinishClosesTheDialogAndAsksTheReader) {
    Mapped();
    Start();
    FakePinView& view = View();
    SetControlAnswer(2, 0x90);
    auto r = Control(kPinPadVerifyFinish, {0xAB});
    EXPECT_EQ(r->status, SCARD_S_SUCCESS);
    EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{0x90, 0x90}));
    EXPECT_TRUE(view.destroyed);
    EXPECT_EQ(velmora::PinDialog(), nullptr);
    EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderFinish);
    EXPECT_EQ(Sent(), std::vector<uint8_t>{0xAB});
    EXPECT_EQ(g_pinpad.keyCounter, 0);
    EXPECT_EQ(fakepcsc::Seen().transmits, 0);
}

TEST_F(PinPadTest, AbortEndsTheEntryInBothModes) {
    for (bool readerAbort : {false, true}) {
        velmora::ResetPinPad();
        g_card.features = {};
        if (readerAbort) g_card.features.abort = kReaderAbort;
        // Without a dialog.
        int controls = fakepcsc::Seen().controls;
        auto r = Control(kPinPadAbort);
        EXPECT_EQ(r->status, SCARD_S_SUCCESS) << readerAbort;
        EXPECT_EQ(g_pinpad.keyCounter, -1);
        // With one.
        Start();
        FakePinView& view = View();
        view.Type("12");
        SetControlAnswer(1, 0x77);
        r = Control(kPinPadAbort, {0x01});
        EXPECT_EQ(r->status, SCARD_S_SUCCESS) << readerAbort;
        EXPECT_TRUE(view.destroyed);
        EXPECT_EQ(g_pinpad.keyCounter, -1);
        EXPECT_EQ(fakepcsc::Seen().controls, controls + (readerAbort ? 2 : 0)) << readerAbort;
        if (readerAbort) {
            EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderAbort);
            EXPECT_EQ(r->Bytes(), std::vector<uint8_t>{0x77});
        } else {
            EXPECT_EQ(r->length, 0u);
        }
    }
}

TEST_F(PinPadTest, AbortCodeAloneLeavesTheEntryEmulated) {
    g_card.features.abort = kReaderAbort;
    Start();
    View().Type("1");
    EXPECT_EQ(Poll(), 0x2B);
    EXPECT_EQ(fakepcsc::Seen().controls, 0);
}

// Through the IOCTL command: the bridge's answer is final.
TEST_F(PinPadTest, IoctlRepliesWithTheBridgesOutcome) {
    EXPECT_EQ(Run("IOCTL 313534"), "200 IOCTL SUCCESS 0D");
    EXPECT_EQ(Run("IOCTL 313528").rfind("500 SCardControl()=80100012: ", 0), 0u);
    Mapped();
    fakepcsc::Fail().control = SCARD_F_UNKNOWN_ERROR;
    EXPECT_EQ(Run("IOCTL 313534").rfind("500 SCardControl()=80100014: ", 0), 0u);
    EXPECT_EQ(fakepcsc::Seen().controls, 1);  // not sent a second time
    EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderKey);
    fakepcsc::Fail().control = 0;
    SetControlAnswer(1, 0x42);
    EXPECT_EQ(Run("IOCTL 313538 01"), "200 IOCTL SUCCESS 42");
    EXPECT_EQ(fakepcsc::Seen().lastControlCode, velmora::PlatformCtlCode(3406));
}

} // namespace
