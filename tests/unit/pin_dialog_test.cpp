// The PIN entry dialog's rules against a fake view.
#include "pinpad_fixture.h"
#include "reader/readers.h"

namespace {

using velmora::g_card;
using velmora::g_pinpad;
using velmora::PinOkAllowed;

constexpr uint32_t kReaderAbort = velmora::PlatformCtlCode(3503);

TEST(PinOkRule, LengthWithinTheLimits) {
    struct Case {
        uint8_t min, max;
        const char* allowedFrom0;  // one mark per length 0, 1, 2, ...: 'y' enabled
    };
    const Case cases[] = {
        {4, 8, "nnnnyyyyynnn"},
        {0, 0, "ynnn"},
        {0, 19, "yyyyyyyyyyyyyyyyyyyynnn"},
        {9, 3, "nnnnnnnnnnnnnnnnnnnnnn"},  // minimum above maximum: never
        {255, 255, "nnnnnnn"},
    };
    for (const Case& c : cases) {
        for (size_t length = 0; c.allowedFrom0[length] != '\0'; ++length) {
            EXPECT_EQ(PinOkAllowed(length, c.min, c.max), c.allowedFrom0[length] == 'y')
                << int{c.min} << ".." << int{c.max} << " length " << length;
        }
    }
    EXPECT_TRUE(PinOkAllowed(255, 0, 255));
    EXPECT_FALSE(PinOkAllowed(256, 0, 255));
}

class PinDialogTest : public PinPadCoreTest {
protected:
    static LONG Control(uint32_t code, std::vector<uint8_t> in = {}) {
        uint8_t out[velmora::kPinPadOutputSize];
        size_t length = 0;
        LONG status = 0;
        EXPECT_TRUE(velmora::PinPadControl(code, in.data(), in.size(), out, &length, &status));
        return status;
    }
    FakePinView& Open(uint8_t minLength, uint8_t maxLength) {
        EXPECT_EQ(Control(velmora::kPinPadVerifyStart,
                          StartRequest({0x00, 0x20, 0x00, 0x81}, minLength, maxLength)),
                  SCARD_S_SUCCESS);
        return View();
    }
};

TEST_F(PinDialogTest, OkFollowsTheRuleFromTheFirstChangeOn) {
    FakePinView& view = Open(4, 8);
    EXPECT_TRUE(view.okEnabled);
    const char* expected = "nnnyyyyynn";  // after 1, 2, ... 10 digits
    for (size_t i = 0; expected[i] != '\0'; ++i) {
        view.Type("7");
        EXPECT_EQ(view.okEnabled, expected[i] == 'y') << i + 1 << " digits";
    }
    view.Backspace();
    view.Backspace();
    EXPECT_TRUE(view.okEnabled);
    view.Clear();
    EXPECT_FALSE(view.okEnabled);
}

TEST_F(PinDialogTest, MinimumAboveMaximumNeverEnablesOk) {
    FakePinView& view = Open(9, 3);
    for (int i = 0; i < 20; ++i) {
        view.Type("1");
        EXPECT_FALSE(view.okEnabled) << i + 1;
    }
    view.PressOk();
    EXPECT_FALSE(view.destroyed);
}

TEST_F(PinDialogTest, OkStoresAtMostNineteenDigitsAndCloses) {
    FakePinView& view = Open(0, 30);
    view.Type("98765432109876543210");
    ASSERT_TRUE(view.okEnabled);
    view.PressOk();
    EXPECT_TRUE(view.destroyed);
    EXPECT_EQ(velmora::PinDialog(), nullptr);
    EXPECT_STREQ(g_pinpad.pin, "9876543210987654321");
    EXPECT_EQ(g_pinpad.keyCounter, 0);  // the following finish sends the PIN
}

TEST_F(PinDialogTest, PinTextIsTerminatedWhateverTheViewReads) {
    FakePinView& view = Open(0, 30);
    view.readFillsBuffer = true;
    view.PressOk();
    EXPECT_STREQ(g_pinpad.pin, "7777777777777777777");
}

TEST_F(PinDialogTest, OkAtOnceStoresTheEmptyPin) {
    FakePinView& view = Open(4, 8);
    view.PressOk();
    EXPECT_TRUE(view.destroyed);
    EXPECT_STREQ(g_pinpad.pin, "");
}

TEST_F(PinDialogTest, MappedOkTakesTheStarsOnceWithinTheLimits) {
    g_card.features = velmora::FeatureTable{velmora::PlatformCtlCode(3500),
                                            velmora::PlatformCtlCode(3501),
                                            velmora::PlatformCtlCode(3502), 0};
    FakePinView& view = Open(2, 4);
    EXPECT_FALSE(view.okEnabled);
    const uint8_t digit = 0x2B;
    fakepcsc::SetControlAnswer(&digit, 1);
    EXPECT_EQ(Control(velmora::kPinPadGetKeyPressed), SCARD_S_SUCCESS);
    EXPECT_FALSE(view.okEnabled);
    EXPECT_EQ(Control(velmora::kPinPadGetKeyPressed), SCARD_S_SUCCESS);
    EXPECT_TRUE(view.okEnabled);
    int controls = fakepcsc::Seen().controls;
    view.PressOk();
    EXPECT_TRUE(view.destroyed);
    EXPECT_STREQ(g_pinpad.pin, "**");
    EXPECT_EQ(fakepcsc::Seen().controls, controls);  // the reader's entry goes on
}

TEST_F(PinDialogTest, MappedOkRuleHoldsWithoutAChangeNotification) {
    g_card.features = velmora::FeatureTable{velmora::PlatformCtlCode(3500),
                                            velmora::PlatformCtlCode(3501),
                                            velmora::PlatformCtlCode(3502), 0};
    FakePinView& view = Open(0, 8);
    view.notifiesWrites = false;
    EXPECT_FALSE(view.okEnabled);
    const uint8_t noKey = 0x00;
    fakepcsc::SetControlAnswer(&noKey, 1);
    EXPECT_EQ(Control(velmora::kPinPadGetKeyPressed), SCARD_S_SUCCESS);
    EXPECT_STREQ(view.text, "");
    EXPECT_TRUE(view.okEnabled);  // no stars lie within 0..8
}

TEST_F(PinDialogTest, CloseEndsTheEntryAndAbortsTheReadersOwn) {
    for (uint32_t abortCode : {uint32_t{0}, kReaderAbort}) {
        g_card.features.abort = abortCode;
        FakePinView& view = Open(0, 8);
        view.Type("12");
        int controls = fakepcsc::Seen().controls;
        view.PressClose();
        EXPECT_TRUE(view.destroyed);
        EXPECT_EQ(velmora::PinDialog(), nullptr);
        EXPECT_EQ(g_pinpad.keyCounter, -1);
        EXPECT_EQ(fakepcsc::Seen().controls, controls + (abortCode != 0 ? 1 : 0));
        if (abortCode != 0) {
            EXPECT_EQ(fakepcsc::Seen().lastControlCode, kReaderAbort);
            EXPECT_EQ(fakepcsc::Seen().lastSentLength, 0u);
        }
    }
}

TEST_F(PinDialogTest, EveryDestructionClearsTheHandleAndOnlySomeEndTheEntry) {
    struct Cause {
        const char* name;
        bool mapped;
        void (*destroy)(RecordingDialog*, FakePinView&);
        int counter;
    };
    const Cause causes[] = {
        {"OK", false, [](RecordingDialog*, FakePinView& v) { v.PressOk(); }, 1},
        {"close", false, [](RecordingDialog*, FakePinView& v) { v.PressClose(); }, -1},
        {"mapped finish", true,
         [](RecordingDialog*, FakePinView&) { Control(velmora::kPinPadVerifyFinish); }, 1},
        {"abort", false, [](RecordingDialog*, FakePinView&) { Control(velmora::kPinPadAbort); },
         -1},
        {"disconnect", false,
         [](RecordingDialog* d, FakePinView&) { velmora::CloseServerConnection(d); }, 1},
        {"close reader", false, [](RecordingDialog* d, FakePinView&) { velmora::CloseReader(d); },
         1},
        {"owner destroyed", false, [](RecordingDialog*, FakePinView& v) { v.Destroy(); }, 1},
    };
    for (const Cause& c : causes) {
        velmora::ResetPinPad();
        g_card.features = {};
        if (c.mapped) g_card.features.verifyPinFinish = velmora::PlatformCtlCode(3501);
        FakePinView& view = Open(0, 8);
        view.Type("5");
        g_pinpad.keyCounter = 1;
        c.destroy(&dialog, view);
        EXPECT_TRUE(view.destroyed) << c.name;
        EXPECT_EQ(velmora::PinDialog(), nullptr) << c.name;
        EXPECT_EQ(g_pinpad.keyCounter, c.counter) << c.name;
        // And the next start opens a new one.
        OpenReader(true);
        FakePinView& next = Open(0, 8);
        EXPECT_NE(&next, &view) << c.name;
        EXPECT_EQ(velmora::PinDialog(), &next) << c.name;
    }
}

TEST_F(PinDialogTest, ALateCallFromAnEarlierDialogChangesNothing) {
    FakePinView& old = Open(0, 8);
    old.Type("1111");
    old.PressOk();
    FakePinView& current = Open(0, 8);
    current.Type("22");
    old.okEnabled = true;
    old.PressOk();
    old.PressClose();
    velmora::PinDialogDestroyed(&old);
    velmora::PinDialogTextChanged(&old);
    EXPECT_EQ(velmora::PinDialog(), &current);
    EXPECT_FALSE(current.destroyed);
    EXPECT_EQ(g_pinpad.keyCounter, 0);
    EXPECT_STREQ(g_pinpad.pin, "");
}

} // namespace
