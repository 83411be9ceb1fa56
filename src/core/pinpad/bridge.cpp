// The PIN-pad bridge. Every call returns at once: the dialog is modeless and
// the server follows the entry by polling GET_KEY_PRESSED.
#include "pinpad/bridge.h"

#include "pinpad/pin_dialog.h"
#include "pinpad/state.h"
#include "reader/card.h"

#include <cstring>

namespace velmora {

PinPadState g_pinpad;

void ResetPinPad() {
    WipeSecret(g_pinpad.pin, sizeof g_pinpad.pin);
    WipeSecret(g_pinpad.verifyApdu, sizeof g_pinpad.verifyApdu);
    g_pinpad.keyCounter = kNoEntry;
    g_pinpad.confirmed = false;
    g_pinpad.minLength = 0;
    g_pinpad.maxLength = 0;
    g_pinpad.templateLength = 0;
    g_pinpad.format = PinFormat{};
    g_pinpad.dialog = nullptr;
}

namespace {

// The start request (a PIN verify structure): 19 fixed bytes, then abData.
constexpr size_t kStartFixedSize = 19;
constexpr size_t kStartMinSize = kStartFixedSize + 4;  // abData holds at least the header
constexpr size_t kStartMaxLengthAt = 5;
constexpr size_t kStartMinLengthAt = 6;
constexpr size_t kStartDataLengthAt = 15;  // low byte of ulDataLength
constexpr size_t kStartInsAt = kStartFixedSize + 1;
constexpr size_t kApduInsAt = 1;
constexpr size_t kApduPinAt = 5;

constexpr uint8_t kKeyNone = 0x00;
constexpr uint8_t kKeyCorrection = 0x08;
constexpr uint8_t kKeyClear = 0x0A;
constexpr uint8_t kKeyValidation = 0x0D;
constexpr uint8_t kKeyDigit = 0x2B;

constexpr char kStars[] = "********************************";
constexpr size_t kMaxStars = sizeof kStars - 1;

struct Call {
    const uint8_t* in;
    size_t inLength;
    uint8_t* out;
    size_t* outLength;
};

LONG Forward(uint32_t readerCode, const Call& call) {
    DWORD returned = 0;
    LONG status = SCardControl(g_card.card, readerCode, call.in, static_cast<DWORD>(call.inLength),
                               call.out, static_cast<DWORD>(kPinPadOutputSize), &returned);
    *call.outLength = static_cast<size_t>(returned);
    return status;
}

LONG NoOutput(const Call& call) {
    *call.outLength = 0;
    return SCARD_S_SUCCESS;
}

// The template bytes a start carries: within its length, the input and the buffer.
size_t TemplateLength(const uint8_t* in, size_t inLength) {
    size_t count = in[kStartDataLengthAt];
    if (count > inLength - kStartFixedSize) count = inLength - kStartFixedSize;
    return count < kVerifyApduSize ? count : kVerifyApduSize;
}

void CopyApduTemplate(const uint8_t* in, size_t inLength) {
    g_pinpad.templateLength = TemplateLength(in, inLength);
    for (size_t i = 0; i < g_pinpad.templateLength; ++i) g_pinpad.verifyApdu[i] = in[kStartFixedSize + i];
}

// The longest PIN the dialog lets through for this structure.
size_t MaxDigits(const uint8_t* in) {
    size_t max = in[kStartMaxLengthAt];
    return max < kPinTextSize - 1 ? max : kPinTextSize - 1;
}

// Emulated entries lay the PIN out themselves: a structure they cannot honour
// is refused before the user types anything. A reader's own pad applies the
// structure itself.
bool ReadEmulatedFormat(const Call& call, PinFormat* format) {
    if (g_card.features.verifyPinStart != 0) return true;
    return ReadPinFormat(call.in, call.in + kStartFixedSize, TemplateLength(call.in, call.inLength),
                         MaxDigits(call.in), format);
}

// The typed PIN goes into the template's APDU (emulated) or the reader's
// (mapped): anything but a VERIFY could hand the PIN back to the server.
// Both the header the reader sees and the one a finish would send count.
bool TemplateIsVerify(const Call& call) {
    size_t copied = call.in[kStartDataLengthAt];
    uint8_t finishIns = copied > kApduInsAt ? call.in[kStartInsAt] : g_pinpad.verifyApdu[kApduInsAt];
    return IsVerifyIns(call.in[kStartInsAt]) && IsVerifyIns(finishIns);
}

LONG VerifyPinStart(const Call& call) {
    if (PinDialog() != nullptr || call.inLength < kStartMinSize) return SCARD_E_SYSTEM_CANCELLED;
    if (!TemplateIsVerify(call)) return SCARD_E_SYSTEM_CANCELLED;
    PinFormat format;
    if (!ReadEmulatedFormat(call, &format)) return SCARD_E_SYSTEM_CANCELLED;
    g_pinpad.format = format;
    g_pinpad.maxLength = call.in[kStartMaxLengthAt];
    g_pinpad.minLength = call.in[kStartMinLengthAt];
    CopyApduTemplate(call.in, call.inLength);
    // A new entry supersedes the last one: its PIN can never be sent again.
    WipeSecret(g_pinpad.pin, sizeof g_pinpad.pin);
    g_pinpad.confirmed = false;
    g_pinpad.keyCounter = kNoEntry;
    uint32_t readerCode = g_card.features.verifyPinStart;
    if (!OpenPinDialog(readerCode != 0)) return SCARD_E_SYSTEM_CANCELLED;
    return readerCode != 0 ? Forward(readerCode, call) : NoOutput(call);
}

// Stars shown after the reader reported key, cut at 32.
size_t StarsAfterKey(size_t shown, uint8_t key) {
    switch (key) {
    case kKeyCorrection:
        if (shown > 0) --shown;
        break;
    case kKeyClear: shown = 0; break;
    case kKeyDigit: shown = shown < kMaxStars ? shown + 1 : kMaxStars; break;
    default: break;
    }
    return shown < kMaxStars ? shown : kMaxStars;
}

// Mapped: the reader's key goes back unchanged and is mirrored as stars.
LONG EchoKey(const Call& call) {
    LONG status = Forward(g_card.features.getKeyPressed, call);
    PinDialogView* view = PinDialog();
    if (status != SCARD_S_SUCCESS || *call.outLength != 1 || view == nullptr) return status;
    char stars[sizeof kStars];
    std::memcpy(stars, kStars, sizeof stars);
    stars[StarsAfterKey(view->PinTextLength(), call.out[0])] = '\0';
    view->WritePinText(stars);
    ApplyPinOkRule(view);
    return SCARD_S_SUCCESS;
}

// One step of the key counter toward the field's length per poll.
uint8_t NextEmulatedKey(size_t fieldLength, int32_t* counter) {
    const int64_t length = fieldLength > INT32_MAX ? INT32_MAX : static_cast<int64_t>(fieldLength);
    const int32_t c = *counter;
    if (c >= 2 && length == 0) {
        *counter = 0;
        return kKeyClear;
    }
    if (c >= 1 && length < c) {
        *counter = c - 1;
        return kKeyCorrection;
    }
    if (c >= 0 && length > c) {
        *counter = c + 1;
        return kKeyDigit;
    }
    return kKeyNone;
}

LONG EmulateKey(const Call& call) {
    PinDialogView* view = PinDialog();
    call.out[0] = view != nullptr ? NextEmulatedKey(view->PinTextLength(), &g_pinpad.keyCounter)
                                  : kKeyValidation;
    *call.outLength = 1;
    return SCARD_S_SUCCESS;
}

LONG GetKeyPressed(const Call& call) {
    return g_card.features.getKeyPressed != 0 ? EchoKey(call) : EmulateKey(call);
}

const SCARD_IO_REQUEST* ActiveProtocolPci() {
    return g_card.activeProtocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

// Emulated: the template of the last start with the PIN laid out as its
// structure asks (as typed, Lc = n, when it asks for nothing).
// Only a PIN the user confirmed with OK in this entry reaches the card: a
// VERIFY with a PIN still being typed (or none) would burn a try.
LONG SendVerifyApdu(const Call& call) {
    if (g_pinpad.keyCounter < 0 || !g_pinpad.confirmed) return SCARD_E_SYSTEM_CANCELLED;
    g_pinpad.keyCounter = kNoEntry;
    g_pinpad.confirmed = false;
    size_t n = 0;
    while (n < kPinTextSize - 1 && g_pinpad.pin[n] != '\0') ++n;
    size_t length = FormatPinApdu(g_pinpad.format, g_pinpad.pin, n, g_pinpad.verifyApdu,
                                  g_pinpad.templateLength, kVerifyApduSize);
    // Used once: a later finish finds no PIN to send.
    WipeSecret(g_pinpad.pin, sizeof g_pinpad.pin);
    // A PIN the format cannot carry never reaches the card as something else.
    if (length == 0) return SCARD_E_SYSTEM_CANCELLED;
    DWORD returned = static_cast<DWORD>(kPinPadOutputSize);
    LONG status = SCardTransmit(g_card.card, ActiveProtocolPci(), g_pinpad.verifyApdu,
                                static_cast<DWORD>(length), nullptr, call.out, &returned);
    WipeSecret(g_pinpad.verifyApdu + kApduPinAt, length - kApduPinAt);
    *call.outLength = static_cast<size_t>(returned);
    return status;
}

LONG VerifyPinFinish(const Call& call) {
    uint32_t readerCode = g_card.features.verifyPinFinish;
    if (readerCode == 0) return SendVerifyApdu(call);
    ClosePinDialog();
    return Forward(readerCode, call);
}

LONG Abort(const Call& call) {
    g_pinpad.keyCounter = kNoEntry;
    g_pinpad.confirmed = false;
    WipeSecret(g_pinpad.pin, sizeof g_pinpad.pin);  // no finish can send it now
    ClosePinDialog();
    uint32_t readerCode = g_card.features.abort;
    return readerCode != 0 ? Forward(readerCode, call) : NoOutput(call);
}

} // namespace

bool PinPadControl(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out,
                   size_t* outLength, LONG* status) {
    const Call call{in, inLength, out, outLength};
    switch (code) {
    case kPinPadVerifyStart: *status = VerifyPinStart(call); return true;
    case kPinPadVerifyFinish: *status = VerifyPinFinish(call); return true;
    case kPinPadGetKeyPressed: *status = GetKeyPressed(call); return true;
    case kPinPadAbort: *status = Abort(call); return true;
    default: return false;
    }
}

} // namespace velmora
