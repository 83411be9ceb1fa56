// The PIN-pad bridge: its four codes with arbitrary payloads, directly and
// as IOCTL commands, interleaved with what the user does in the PIN entry
// dialog, in both the reader-mapped and the emulated mode.
//
// Input: flags; the reader's control and transmit answers (length word and
// bytes); with kFeaturesFromInput a feature answer as well; then operations,
// an opcode byte each followed by its arguments, until the input ends.
#include "fakes.h"
#include "pinpad/bridge.h"
#include "pinpad/pin_dialog.h"
#include "pinpad/state.h"
#include "protocol/hex.h"
#include "recording_dialog.h"
#include "support.h"

namespace {

using velmora::g_card;
using velmora::g_pinpad;

enum Flag : uint8_t {
    kMapped = 0x01,            // the reader lists the PIN-verify codes
    kFeaturesFromInput = 0x02, // the feature answer comes from the input
    kCardT0 = 0x04,
    kNoPinDialog = 0x08,       // the shell cannot create the dialog
    kNoConnectionDialog = 0x10,
    kNoCard = 0x20,            // a direct connection to the reader only
    kAbortOnly = 0x40,         // the reader lists an abort code alone
};

constexpr uint32_t kCodes[] = {velmora::kPinPadVerifyStart, velmora::kPinPadVerifyFinish,
                               velmora::kPinPadGetKeyPressed, velmora::kPinPadAbort};
constexpr size_t kMaxOperations = 200;

std::vector<uint8_t> FeatureEntry(uint8_t tag, uint32_t function) {
    uint32_t code = velmora::PlatformCtlCode(function);
    return {tag, 4, static_cast<uint8_t>(code >> 24), static_cast<uint8_t>(code >> 16),
            static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
}

std::vector<uint8_t> FeatureAnswer(uint8_t flags, fuzz::Input& in) {
    if ((flags & kFeaturesFromInput) != 0) return fuzz::PickAnswer(in);
    std::vector<uint8_t> answer;
    auto add = [&answer](uint8_t tag, uint32_t function) {
        std::vector<uint8_t> entry = FeatureEntry(tag, function);
        answer.insert(answer.end(), entry.begin(), entry.end());
    };
    if ((flags & kMapped) != 0) {
        add(0x01, 3501);
        add(0x02, 3502);
        add(0x05, 3505);
    }
    if ((flags & (kMapped | kAbortOnly)) != 0) add(0x0B, 3511);
    return answer;
}

bool AllZero(const void* memory, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(memory);
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

// What the harness knows of the entry: the PIN the user confirmed, which an
// emulated finish must send exactly once.
struct Model {
    bool pinPending = false;
    std::string pin;
    int dialogsSeen = 0;
};

class Run {
public:
    Run(fuzz::Input& in, uint8_t flags) : in_(in), flags_(flags) {}

    void SetUp() {
        bool cardIn = (flags_ & kNoCard) == 0;
        DWORD protocol = (flags_ & kCardT0) != 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        fuzz::OpenReader(cardIn, cardIn, protocol);
        SetAnswers();
        std::vector<uint8_t> features = FeatureAnswer(flags_, in_);
        fakepcsc::SetFeatureAnswer(features.data(), features.size());
        shell_.pinDialogFails = (flags_ & kNoPinDialog) != 0;
        velmora::SetShell(&shell_);
        velmora::SetConnectionDialog((flags_ & kNoConnectionDialog) != 0 ? nullptr : &dialog_);
    }

    void Operations() {
        for (size_t i = 0; i < kMaxOperations && !in_.Empty(); ++i) {
            uint8_t op = in_.Byte();
            Operation(op);
            CheckState(op);
        }
    }

    void TearDown() {
        velmora::ResetPinPad();
        velmora::DisconnectCard();
        velmora::SetConnectionDialog(nullptr);
        velmora::SetShell(nullptr);
    }

private:
    fuzz::Input& in_;
    uint8_t flags_;
    FakeShell shell_;
    RecordingDialog dialog_;
    fuzz::ReplyBuffer reply_;
    Model model_;

    bool Mapped() const { return g_card.features.getKeyPressed != 0; }

    FakePinView* OpenView() { return static_cast<FakePinView*>(velmora::PinDialog()); }

    void SetAnswers() {
        std::vector<uint8_t> answer = fuzz::PickAnswer(in_);
        fakepcsc::SetControlAnswer(answer.data(), answer.size());
        answer = fuzz::PickAnswer(in_);
        fakepcsc::SetTransmitAnswer(answer.data(), answer.size());
    }

    void Operation(uint8_t op) {
        switch (op % 16) {
        case 0: case 1: case 2: case 3: Control(kCodes[op % 16]); break;
        case 4: Ioctl(); break;
        case 5: OtherCode(); break;
        case 6: Type(); break;
        case 7: if (FakePinView* v = OpenView()) v->Backspace(); break;
        case 8: if (FakePinView* v = OpenView()) v->Clear(); break;
        case 9: PressOk(); break;
        case 10: PressClose(); break;
        case 11: if (FakePinView* v = OpenView()) v->Destroy(); break;  // its owner went
        case 12: shell_.DestroyPinDialog(); break;                     // link closed
        case 13:
            fakepcsc::Fail().control = fuzz::PickStatus(in_);
            fakepcsc::Fail().transmit = fuzz::PickStatus(in_);
            break;
        case 14: SetAnswers(); break;
        default: ViewQuirks(); break;
        }
    }

    // The bridge is called only with a handle, as the IOCTL command does.
    bool Connect() {
        if (g_card.card == 0) velmora::ConnectCard(true);
        return g_card.card != 0;
    }

    void Control(uint32_t code) {
        std::vector<uint8_t> bytes = in_.Bytes(in_.Word() % (velmora::kPayloadSize + 1));
        if (!Connect()) return;
        const fuzz::ExactText payload(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        std::unique_ptr<uint8_t[]> out(new uint8_t[velmora::kPinPadOutputSize]);
        std::memset(out.get(), 0xEE, velmora::kPinPadOutputSize);
        size_t length = 0;
        LONG status = 0;
        int transmits = fakepcsc::Seen().transmits;
        bool handled = velmora::PinPadControl(code, reinterpret_cast<const uint8_t*>(payload.get()),
                                              bytes.size(), out.get(), &length, &status);
        velmora::DropDirectConnection();
        if (!handled) fuzz::Fail("code %08X not taken by the bridge", code);
        if (status == SCARD_S_SUCCESS && length > velmora::kPinPadOutputSize) {
            fuzz::Fail("code %08X answered %zu bytes into %zu", code, length, velmora::kPinPadOutputSize);
        }
        if (code == velmora::kPinPadGetKeyPressed && !Mapped()) CheckEmulatedKey(status, length, out[0]);
        if (code == velmora::kPinPadAbort) model_.pinPending = false;
        CheckVerifySent(transmits);
    }

    void CheckEmulatedKey(LONG status, size_t length, uint8_t key) {
        if (status != SCARD_S_SUCCESS || length != 1) fuzz::Fail("emulated key poll failed");
        if (key != 0x00 && key != 0x08 && key != 0x0A && key != 0x0D && key != 0x2B) {
            fuzz::Fail("emulated key poll answered %02X", key);
        }
    }

    void Ioctl() {
        uint32_t code = kCodes[in_.Byte() % 4];
        std::vector<uint8_t> bytes = in_.Bytes(in_.Word() % 490);
        std::string line = "IOCTL " + Hex32(code);
        if (!bytes.empty()) line += " " + HexBytes(bytes);
        int transmits = fakepcsc::Seen().transmits;
        const fuzz::ExactText text(line.data(), line.size());
        velmora::InterpretCommand(text.get(), reply_.Fresh());
        fuzz::CheckReply(reply_.get(), text.get());
        fuzz::CheckConnection(text.get());
        CheckVerifySent(transmits);
        if (code == velmora::kPinPadAbort && std::strcmp(reply_.get(), "200 IOCTL NO_MEDIA") != 0) {
            model_.pinPending = false;
        }
    }

    // Codes next to the bridge's go to the reader untouched.
    void OtherCode() {
        uint32_t code = in_.Long();
        if (std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes)) return;
        uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        size_t length = 4242;
        LONG status = 0x5EED;
        const uint8_t in[1] = {0};
        if (velmora::PinPadControl(code, in, sizeof in, out, &length, &status) || length != 4242 ||
            status != 0x5EED || out[0] != 0xEE) {
            fuzz::Fail("code %08X is not the bridge's but was touched", code);
        }
    }

    void Type() {
        size_t count = in_.Byte() % 24;
        std::string digits;
        for (size_t i = 0; i < count; ++i) digits += static_cast<char>('0' + in_.Byte() % 10);
        if (FakePinView* v = OpenView()) v->Type(digits.c_str());
    }

    void PressOk() {
        FakePinView* view = OpenView();
        if (view == nullptr || !view->okEnabled) return;
        // What the core reads from the field: at most 19 characters.
        char text[velmora::kPinTextSize];
        view->ReadPinText(text, sizeof text);
        text[sizeof text - 1] = '\0';
        view->PressOk();
        model_.pinPending = true;
        model_.pin = text;
    }

    // Closing the dialog cancels the entry: no finish may send a PIN for it.
    void PressClose() {
        FakePinView* view = OpenView();
        if (view == nullptr) return;
        view->PressClose();
        model_.pinPending = false;
    }

    void ViewQuirks() {
        uint8_t quirks = in_.Byte();
        if (FakePinView* v = OpenView()) {
            v->readFillsBuffer = (quirks & 0x01) != 0;
            v->notifiesWrites = (quirks & 0x02) == 0;
        }
    }

    // An emulated finish that reached the card sent the PIN the user
    // confirmed with OK in this entry, once, and wiped it.
    void CheckVerifySent(int transmitsBefore) {
        int sent = fakepcsc::Seen().transmits - transmitsBefore;
        if (sent == 0) return;
        if (sent > 1) fuzz::Fail("%d verify APDUs for one finish", sent);
        if (Mapped()) fuzz::Fail("verify APDU sent although the reader has a PIN pad");
        if (!model_.pinPending) fuzz::Fail("verify APDU sent with no entry pending");
        const fakepcsc::Calls& seen = fakepcsc::Seen();
        const velmora::PinFormat& f = g_pinpad.format;
        if (seen.lastSentLength < 5 || seen.lastSentLength > velmora::kVerifyApduSize ||
            size_t{seen.lastSent[4]} != seen.lastSentLength - 5) {
            fuzz::Fail("verify APDU of %zu bytes with Lc %u", seen.lastSentLength,
                       seen.lastSentLength >= 5 ? seen.lastSent[4] : 0u);
        }
        std::string pin = f.asTyped ? std::string(reinterpret_cast<const char*>(seen.lastSent) + 5,
                                                  seen.lastSentLength - 5)
                                    : ReadBack(f, seen.lastSent + 5, seen.lastSentLength - 5, model_.pin.size());
        if (pin != model_.pin) {
            fuzz::Fail("verify APDU carried '%s', the user confirmed '%s'", pin.c_str(), model_.pin.c_str());
        }
        if (!AllZero(g_pinpad.pin, sizeof g_pinpad.pin)) fuzz::Fail("PIN kept after it was sent");
        if (!AllZero(g_pinpad.verifyApdu + 5, seen.lastSentLength - 5)) fuzz::Fail("PIN kept in the APDU");
        model_.pinPending = false;
    }

    static unsigned ReadBits(const uint8_t* data, size_t at, size_t width) {
        unsigned value = 0;
        for (size_t b = 0; b < width; ++b) value = value << 1 | ((data[(at + b) / 8] >> (7 - (at + b) % 8)) & 1u);
        return value;
    }

    // The digits of a laid-out PIN of n digits read back where its format
    // puts them, with its length field checked; "?" for what does not fit.
    static std::string ReadBack(const velmora::PinFormat& f, const uint8_t* data, size_t length, size_t n) {
        const size_t bits = f.encoding == velmora::PinEncoding::Bcd ? 4 : 8;
        const size_t area = f.blockSize != 0 ? size_t{f.blockSize} * 8 : length * 8;
        const size_t from = f.blockSize != 0 && f.rightJustified ? area - n * bits : f.pinAt;
        if (from + n * bits > length * 8 || (f.blockSize != 0 && from + n * bits > area)) return "?";
        if (f.lengthBits != 0 && ReadBits(data, f.lengthAt, f.lengthBits) != n) return "?";
        std::string pin;
        for (size_t i = 0; i < n; ++i) {
            unsigned v = ReadBits(data, from + i * bits, bits);
            pin.push_back(static_cast<char>(f.encoding == velmora::PinEncoding::Ascii ? v : '0' + v));
        }
        return pin;
    }

    void CheckState(uint8_t op) {
        FakePinView* view = OpenView();
        if (shell_.pinDialogsCreated != model_.dialogsSeen) {
            // A new entry: nothing confirmed yet, so a finish may send nothing.
            model_.dialogsSeen = shell_.pinDialogsCreated;
            model_.pinPending = false;
            model_.pin.clear();
            // The typed PIN only ever goes into a VERIFY.
            if (g_pinpad.verifyApdu[1] != 0x20 && g_pinpad.verifyApdu[1] != 0x21) {
                fuzz::Fail("entry opened for a template with INS %02X", g_pinpad.verifyApdu[1]);
            }
        }
        if (view != nullptr && (view != &shell_.PinView() || view->destroyed)) {
            fuzz::Fail("after op %u the core holds a PIN dialog that is gone", op);
        }
        if (g_pinpad.keyCounter < velmora::kNoEntry) fuzz::Fail("key counter %d", g_pinpad.keyCounter);
        if (g_pinpad.keyCounter == velmora::kNoEntry) {
            model_.pinPending = false;
            // Nothing can send it any more, so nothing may keep it.
            if (!AllZero(g_pinpad.pin, sizeof g_pinpad.pin)) {
                fuzz::Fail("PIN kept after op %u although no entry is pending", op);
            }
        }
        if (g_pinpad.pin[velmora::kPinTextSize - 1] != '\0') fuzz::Fail("PIN text not terminated");
        if (view != nullptr && Mapped()) {
            std::string text = view->text;
            if (text.size() > 32 || text.find_first_not_of('*') != std::string::npos) {
                fuzz::Fail("reader-mapped entry shows '%s'", text.c_str());
            }
        }
        fuzz::CheckFeatureSet(g_card.features, "PIN pad");
    }

    static std::string Hex32(uint32_t value) {
        char text[9];
        std::snprintf(text, sizeof text, "%X", value);
        return text;
    }
    static std::string HexBytes(const std::vector<uint8_t>& bytes) {
        std::string text;
        for (uint8_t b : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02X", b);
            text += pair;
        }
        return text;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::RunInput<Run>(data, size);
}
