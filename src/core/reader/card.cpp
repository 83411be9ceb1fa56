#include "reader/card.h"

#include "ui/view.h"

namespace velmora {

CardAccessState g_card;

namespace {

constexpr uint8_t kTagVerifyPinStart = 0x01;
constexpr uint8_t kTagVerifyPinFinish = 0x02;
constexpr uint8_t kTagGetKeyPressed = 0x05;
constexpr uint8_t kTagAbort = 0x0B;
constexpr size_t kFeatureEntrySize = 6;

void LearnFeatures() {
    g_card.features = FeatureTable{};
    uint8_t answer[kFeatureAnswerSize];
    DWORD returned = 0;
    LONG status = SCardControl(g_card.card, kIoctlGetFeatureRequest, nullptr, 0, answer,
                               sizeof answer, &returned);
    if (status != SCARD_S_SUCCESS) return;
    // A driver that claims more than the buffer holds is not believed.
    size_t length = returned > sizeof answer ? sizeof answer : static_cast<size_t>(returned);
    ParseFeatureAnswer(answer, length, &g_card.features);
}

} // namespace

void ParseFeatureAnswer(const uint8_t* answer, size_t length, FeatureTable* table) {
    *table = FeatureTable{};
    for (size_t offset = 0; offset + kFeatureEntrySize <= length; offset += kFeatureEntrySize) {
        const uint8_t* entry = answer + offset;
        uint32_t code = (uint32_t{entry[2]} << 24) | (uint32_t{entry[3]} << 16) |
                        (uint32_t{entry[4]} << 8) | uint32_t{entry[5]};
        switch (entry[0]) {
        case kTagVerifyPinStart: table->verifyPinStart = code; break;
        case kTagVerifyPinFinish: table->verifyPinFinish = code; break;
        case kTagGetKeyPressed: table->getKeyPressed = code; break;
        case kTagAbort: table->abort = code; break;
        default: break;
        }
    }
    if (table->verifyPinStart == 0 || table->verifyPinFinish == 0 || table->getKeyPressed == 0) {
        table->verifyPinStart = 0;
        table->verifyPinFinish = 0;
        table->getKeyPressed = 0;
    }
}

void ConnectCard(bool allowDirect) {
    g_card.activeProtocol = kProtocolNone;
    ConnectionDialogView* dialog = ConnectionDialog();
    LONG status = SCARD_S_SUCCESS;
    bool attempted = false;
    DWORD protocol = 0;
    SCARDHANDLE handle = 0;

    if (CardPresent()) {
        attempted = true;
        status = SCardConnectA(g_card.context, g_card.readerName, SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
        ShowStatus(dialog, "Karte in '%s' wurde ge\xF6" "ffnet, Prot=%08lX", g_card.readerName,
                   CodeWord(protocol));
    } else if (allowDirect) {
        attempted = true;
        status = SCardConnectA(g_card.context, g_card.readerName, SCARD_SHARE_DIRECT, 0, &handle,
                               &protocol);
        protocol = 0;
        ShowStatus(dialog, "Leser '%s' wurde ge\xF6" "ffnet", g_card.readerName);
    }

    if (attempted && status != SCARD_S_SUCCESS) {
        char text[1000];
        SystemMessageText(StatusWord(status), text, sizeof text);
        ShowStatus(dialog, "SCardConnect()=%08lX, %s", StatusWord(status), text);
        return;
    }
    if (!attempted) {
        g_card.features = FeatureTable{};
        return;
    }
    g_card.card = handle;
    g_card.activeProtocol = static_cast<uint32_t>(protocol);
    LearnFeatures();
}

LONG ReconnectCard(DWORD initialization) {
    if (DirectConnection()) DisconnectCard();
    if (g_card.card == 0) ConnectCard(false);
    if (g_card.card == 0) return SCARD_E_NO_SMARTCARD;
    DWORD protocol = 0;
    LONG status = SCardReconnect(g_card.card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                 initialization, &protocol);
    if (status != SCARD_S_SUCCESS) {
        DisconnectCardAfter(status);
        return status;
    }
    g_card.activeProtocol = static_cast<uint32_t>(protocol);
    return SCARD_S_SUCCESS;
}

void DisconnectCard() {
    if (g_card.card == 0) return;
    SCardDisconnect(g_card.card, SCARD_LEAVE_CARD);
    g_card.card = 0;
    g_card.activeProtocol = kProtocolNone;
}

void DisconnectCardAfter(LONG status) {
    if (status == SCARD_W_REMOVED_CARD || status == SCARD_W_RESET_CARD) DisconnectCard();
}

} // namespace velmora
