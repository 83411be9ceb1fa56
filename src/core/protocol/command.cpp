#include "protocol/command.h"

#include "pinpad/bridge.h"
#include "wire/ascii.h"
#include "protocol/hex.h"
#include "reader/card.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora {
namespace {

enum class Kind {
    None, Eject, GetAttribute, State, Card, Power, SetAttribute, SetProtocol, Swallow, Transmit, Ioctl,
    ReconnectReset, ReconnectUnpower,
};

struct Keyword {
    const char* text;
    bool wholeLine;
    Kind kind;
};

constexpr Keyword kKeywords[] = {
    {"EJECT", true, Kind::Eject},
    {"GET_ATTRIBUTE ", false, Kind::GetAttribute},
    {"STATE", true, Kind::State},
    {"CARD", true, Kind::Card},
    {"POWER ", false, Kind::Power},
    {"SET_ATTRIBUTE ", false, Kind::SetAttribute},
    {"SET_PROTOCOL ", false, Kind::SetProtocol},
    {"SWALLOW ", false, Kind::Swallow},
    {"TRANSMIT ", false, Kind::Transmit},
    {"IOCTL ", false, Kind::Ioctl},
    // An extension only velmora-reader sends: its reset and power-down.
    {"RECONNECT RESET", true, Kind::ReconnectReset},
    {"RECONNECT UNPOWER", true, Kind::ReconnectUnpower},
};

constexpr size_t kWorkSize = 1000;
constexpr size_t kTransmitProtocolAt = 9;
constexpr size_t kTransmitPayloadAt = 11;
constexpr size_t kIoctlCodeAt = 6;
constexpr size_t kApduHeaderSize = 4;

Kind Classify(const char* line) {
    for (const Keyword& keyword : kKeywords) {
        bool match = keyword.wholeLine ? AsciiEqualNoCase(line, keyword.text)
                                       : AsciiStartsNoCase(line, keyword.text);
        if (match) return keyword.kind;
    }
    return Kind::None;
}

// Replies for the first character outside letters, digits, '_' and blank.
bool CheckCharacters(const char* line, char* reply) {
    for (size_t i = 0; line[i] != '\0'; ++i) {
        char c = line[i];
        if (AsciiAlnum(c) || c == '_' || c == ' ') continue;
        auto byte = static_cast<unsigned char>(c);
        char shown[8];
        if (AsciiPrint(byte)) {
            std::snprintf(shown, sizeof shown, "'%c'", c);
        } else {
            std::snprintf(shown, sizeof shown, "0x%02X", byte);
        }
        FormatReply(reply, "500 command has invalid character %s at position %d", shown,
                    static_cast<int>(i));
        return false;
    }
    return true;
}

void ReplyWithData(char* reply, const char* success, const uint8_t* data, DWORD length) {
    FormatReply(reply, "%s", success);
    bool fits = length <= kWorkSize && (length == 0 || AppendHexPayload(reply, data, length));
    if (!fits) {
        FormatReply(reply, "500 transmit-buffer too short, %lu bytes, %d chars",
                    static_cast<unsigned long>(length), static_cast<int>(kReplyMax));
    }
}

void ReplyWithStatus(char* reply, const char* call, LONG status) {
    char text[kWorkSize];
    SystemMessageText(StatusWord(status), text, sizeof text);
    FormatReply(reply, "500 %s()=%lX: %s", call, StatusWord(status), text);
}

void Transmit(const char* line, char* reply) {
    if (g_card.card == 0) ConnectCard(false);
    if (g_card.card == 0) {
        FormatReply(reply, "200 TRANSMIT NO_MEDIA");
        return;
    }
    const char p = line[kTransmitProtocolAt];
    const char n = p == '\0' ? '\0' : line[kTransmitProtocolAt + 1];
    const SCARD_IO_REQUEST* pci = nullptr;
    if (AsciiUpper(p) == 'T' && n == '0') pci = SCARD_PCI_T0;
    if (AsciiUpper(p) == 'T' && n == '1') pci = SCARD_PCI_T1;
    if (pci == nullptr) {
        FormatReply(reply, "500 invalid protocol in %.50s", line);
        return;
    }
    uint8_t payload[kWorkSize];
    uint8_t response[kWorkSize];
    size_t length = ParseHex(line + kTransmitPayloadAt, payload);
    // Shorter than CLA INS P1 P2 is no APDU; some drivers never answer one.
    if (length < kApduHeaderSize) {
        ReplyWithStatus(reply, "SCardTransmit", SCARD_E_INVALID_PARAMETER);
        return;
    }
    DWORD responseLength = sizeof response;
    LONG status = SCardTransmit(g_card.card, pci, payload, static_cast<DWORD>(length), nullptr,
                                response, &responseLength);
    if (status != SCARD_S_SUCCESS) {
        ReplyWithStatus(reply, "SCardTransmit", status);
        DisconnectCardAfter(status);
        return;
    }
    ReplyWithData(reply, "200 TRANSMIT SUCCESS", response, responseLength);
}

// strtoul in base 16 as a 32-bit platform reads it: an overflowing code
// saturates at 0xFFFFFFFF instead of wrapping or growing past 32 bits.
uint32_t ReadControlCode(const char* text, const char** end) {
    char* stop = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &stop, 16);
    *end = stop;
    if (errno == ERANGE || value > 0xFFFFFFFFul) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
}

void Ioctl(const char* line, char* reply) {
    if (g_card.card == 0) ConnectCard(true);
    if (g_card.card == 0) {
        FormatReply(reply, "200 IOCTL NO_MEDIA");
        return;
    }
    const char* rest = nullptr;
    uint32_t code = ReadControlCode(line + kIoctlCodeAt, &rest);
    if (code == 0) {
        FormatReply(reply, "500 invalid ioctl in %.50s)", line);
        return;
    }
    uint8_t payload[kWorkSize];
    uint8_t response[kWorkSize];
    size_t length = ParseHex(rest, payload);
    size_t answered = 0;
    LONG status = SCARD_S_SUCCESS;
    DWORD responseLength = 0;
    if (PinPadControl(code, payload, length, response, &answered, &status)) {
        responseLength = static_cast<DWORD>(answered);
    } else {
        status = SCardControl(g_card.card, PlatformFromWireCtlCode(code), payload,
                              static_cast<DWORD>(length), response, sizeof response,
                              &responseLength);
    }
    if (status != SCARD_S_SUCCESS) {
        ReplyWithStatus(reply, "SCardControl", status);
        DisconnectCardAfter(status);
        return;
    }
    ReplyWithData(reply, "200 IOCTL SUCCESS", response, responseLength);
}

void Reconnect(DWORD initialization, char* reply) {
    LONG status = ReconnectCard(initialization);
    if (status == SCARD_E_NO_SMARTCARD) {
        FormatReply(reply, "200 RECONNECT NO_MEDIA");
    } else if (status != SCARD_S_SUCCESS) {
        ReplyWithStatus(reply, "SCardReconnect", status);
    } else {
        FormatReply(reply, "200 RECONNECT SUCCESS");
    }
}

} // namespace

CommandData LocateCommandData(const char* line, uint32_t* code, const char** payload) {
    switch (Classify(line)) {
    case Kind::Transmit:
        if (line[kTransmitProtocolAt] == '\0' || line[kTransmitProtocolAt + 1] == '\0') return CommandData::None;
        *payload = line + kTransmitPayloadAt;
        return CommandData::Apdu;
    case Kind::Ioctl: *code = ReadControlCode(line + kIoctlCodeAt, payload); return CommandData::Control;
    default: return CommandData::None;
    }
}

void FormatReply(char* reply, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reply, kReplyBufferMin, format, args);
    va_end(args);
}

bool AppendHexPayload(char* reply, const unsigned char* data, size_t length) {
    size_t used = std::strlen(reply);
    if (used + 1 + 2 * length > kReplyMax - 1) return false;
    reply[used] = ' ';
    WriteHex(data, length, reply + used + 1);
    return true;
}

void DropDirectConnection() {
    if (DirectConnection()) DisconnectCard();
}

void InterpretCommand(const char* line, char* reply) {
    reply[kReplyMax] = '\0';
    FormatReply(reply, "500 unspecific error, CMD=%.50s", line);
    if (!CheckCharacters(line, reply)) return;

    switch (Classify(line)) {
    case Kind::None: FormatReply(reply, "500 invalid command '%.*s'", 20, line); break;
    case Kind::Eject:
        FormatReply(reply, g_card.card != 0 ? "200 EJECT NOT_SUPPORTED" : "200 EJECT NO_MEDIA");
        break;
    case Kind::State:
        FormatReply(reply, "200 STATE SUCCESS %s", CardPresent() ? "SPECIFIC" : "ABSENT");
        break;
    case Kind::Card: FormatReply(reply, "200 CARD %s", CardPresent() ? "PRESENT" : "ABSENT"); break;
    case Kind::Power: FormatReply(reply, "200 POWER SUCCESS"); break;
    case Kind::SetAttribute: FormatReply(reply, "500 SET_ATTRIBUTE not implemented yet"); break;
    case Kind::SetProtocol: FormatReply(reply, "500 SET_PROTOCOL not implemented yet"); break;
    case Kind::Swallow: FormatReply(reply, "500 SWALLOW not implemented yet"); break;
    case Kind::GetAttribute: QueryAttribute(line, reply); break;
    case Kind::Transmit: Transmit(line, reply); break;
    case Kind::Ioctl:
        Ioctl(line, reply);
        DropDirectConnection();
        break;
    case Kind::ReconnectReset: Reconnect(SCARD_RESET_CARD, reply); break;
    case Kind::ReconnectUnpower: Reconnect(SCARD_UNPOWER_CARD, reply); break;
    }
}

} // namespace velmora
