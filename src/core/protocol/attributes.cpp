#include "protocol/command.h"
#include "reader/card.h"
#include "wire/attributes.h"

#include <cstring>

namespace velmora {

namespace {

constexpr size_t kAttributeBufferSize = 1000;
constexpr size_t kKeywordLength = 14;  // "GET_ATTRIBUTE "

constexpr uint32_t kAtrString = 0x00090303u;
constexpr size_t kAtrMax = 36;  // 33 by ISO 7816-3, some room for careless readers

// Reader drivers need not offer the ATR as an attribute, yet every card
// connection knows it: without it the server could not power the card up.
LONG AtrFromStatus(LONG attribStatus, BYTE* value, DWORD* length) {
    if (DirectConnection()) return attribStatus;
    BYTE atr[kAtrMax];
    DWORD atrLength = sizeof atr;
    DWORD nameLength = 0;
    DWORD state = 0;
    DWORD protocol = 0;
    LONG status = SCardStatusA(g_card.card, nullptr, &nameLength, &state, &protocol, atr, &atrLength);
    if (status != SCARD_S_SUCCESS || atrLength == 0 || atrLength > sizeof atr || atrLength > *length) {
        return attribStatus;
    }
    std::memcpy(value, atr, atrLength);
    *length = atrLength;
    return SCARD_S_SUCCESS;
}

void ReadAttribute(uint32_t id, char* reply) {
    BYTE value[kAttributeBufferSize];
    DWORD length = sizeof value;
    LONG status = GetAttribBounded(g_card.card, id, value, &length);
    if (status != SCARD_S_SUCCESS && id == kAtrString) status = AtrFromStatus(status, value, &length);
    if (status != SCARD_S_SUCCESS) {
        FormatReply(reply, "500 SCardGetAttrib()=%lX", StatusWord(status));
        DisconnectCardAfter(status);
        return;
    }
    FormatReply(reply, "200 GET_ATTRIBUTE SUCCESS");
    size_t n = length;
    // The reply keeps its trailing blank even for an empty attribute.
    if (n > sizeof value || !AppendHexPayload(reply, value, n)) {
        FormatReply(reply, "500 GET_ATTRIBUTE Buffer too small Len=%lu ALen=%d",
                    static_cast<unsigned long>(n), static_cast<int>(kReplyMax));
    }
}

} // namespace

void QueryAttribute(const char* line, char* reply) {
    if (g_card.card == 0) ConnectCard(true);
    if (g_card.card == 0) {
        FormatReply(reply, "200 GET_ATTRIBUTE NO_MEDIA");
        return;
    }
    uint32_t id = 0;
    if (!LookUpAttribute(line + kKeywordLength, &id)) {
        FormatReply(reply, "500 invalid attribute in '%.50s'", line);
    } else {
        ReadAttribute(id, reply);
    }
    DropDirectConnection();
}

} // namespace velmora
