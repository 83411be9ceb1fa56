#include "wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace velmora::reader {
namespace {

constexpr size_t kFeatureEntry = 6;  // tag, length 4, code big-endian
constexpr uint8_t kTagVerifyPinDirect = 0x06;
constexpr uint8_t kTagModifyPinDirect = 0x07;
constexpr uint8_t kTagVerifyPinDirectAppId = 0x0D;
constexpr uint8_t kTagModifyPinDirectAppId = 0x0E;
constexpr uint32_t kMaxFunction = 0x3FFF;  // what fits the wire form's 16 bits

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

uint32_t ReadBigEndian(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void WriteEntry(uint8_t tag, uint32_t code, uint8_t* p) {
    p[0] = tag;
    p[1] = 4;
    p[2] = static_cast<uint8_t>(code >> 24);
    p[3] = static_cast<uint8_t>(code >> 16);
    p[4] = static_cast<uint8_t>(code >> 8);
    p[5] = static_cast<uint8_t>(code);
}

bool DroppedFeature(uint8_t tag) {
    return tag == kTagVerifyPinDirect || tag == kTagModifyPinDirect || tag == kTagVerifyPinDirectAppId ||
           tag == kTagModifyPinDirectAppId;
}

} // namespace

CommandLine& CommandLine::Text(const char* text) {
    const size_t n = std::strlen(text);
    needed_ += n;
    if (overflow_ || n > kCommandMax - used_) {
        overflow_ = true;
        return *this;
    }
    std::memcpy(text_ + used_, text, n + 1);
    used_ += n;
    return *this;
}

CommandLine& CommandLine::Number(uint32_t value) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(value));
    return Text(digits);
}

CommandLine& CommandLine::Bytes(const uint8_t* data, size_t length) {
    // Compared before doubling, so no length can wrap the sum.
    const size_t room = (kCommandMax - used_) / 2;
    needed_ += length > (SIZE_MAX - needed_) / 2 ? SIZE_MAX - needed_ : 2 * length;
    if (overflow_ || length > room) {
        overflow_ = true;
        return *this;
    }
    WriteHex(data, length, text_ + used_);
    used_ += 2 * length;
    return *this;
}

uint32_t WireFromPcsc(uint32_t code) {
    if (code < kPcscCtlBase || code - kPcscCtlBase > kMaxFunction) return code;
    return WireCtlCode(code - kPcscCtlBase);
}

uint32_t PcscFromAny(uint32_t code) {
    if ((code & 0xFFFF0003u) != kWireCtlDevice) return code;
    return PcscCtlCode((code & 0xFFFFu) >> 2);
}

void WriteHex(const uint8_t* data, size_t length, char* text) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    text[2 * length] = '\0';
}

bool ReadHex(const char* text, size_t textLength, uint8_t* data, size_t capacity, size_t* length) {
    if (textLength % 2 != 0 || textLength / 2 > capacity) return false;
    for (size_t i = 0; i < textLength / 2; ++i) {
        int high = HexDigit(text[2 * i]);
        int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        data[i] = static_cast<uint8_t>(high << 4 | low);
    }
    *length = textLength / 2;
    return true;
}

LineKind Classify(const char* line) {
    if (line[0] == '\0') return LineKind::Empty;
    if (std::strcmp(line, "EVENT CARD INSERTED") == 0) return LineKind::Inserted;
    if (std::strcmp(line, "EVENT CARD REMOVED") == 0) return LineKind::Removed;
    if (StartsWith(line, "200 ") || StartsWith(line, "500 ") || std::strcmp(line, "500") == 0) {
        return LineKind::Reply;
    }
    return LineKind::Other;
}

bool ReplyMatches(const char* line, const char* keyword) {
    if (StartsWith(line, "500")) return true;  // failures do not always name the command
    size_t n = std::strlen(keyword);
    return StartsWith(line, "200 ") && std::strncmp(line + 4, keyword, n) == 0 &&
           (line[4 + n] == ' ' || line[4 + n] == '\0');
}

bool AnswersCommand(const char* line, const char* command, const char* keyword) {
    constexpr char kInvalid[] = "500 invalid command '";
    constexpr size_t kQuotedMax = 20;
    if (!StartsWith(line, kInvalid)) return ReplyMatches(line, keyword);
    const char* quoted = line + sizeof kInvalid - 1;
    const char* end = std::strrchr(quoted, '\'');
    if (end == nullptr) return false;
    const size_t n = static_cast<size_t>(end - quoted);
    const size_t expected = std::min(std::strlen(command), kQuotedMax);
    return n == expected && std::strncmp(quoted, command, n) == 0;
}

Reply ParseReply(const char* line, const char* keyword) {
    Reply reply;
    if (StartsWith(line, "500")) {
        reply.kind = ReplyKind::Failed;
        return reply;
    }
    if (!ReplyMatches(line, keyword)) return reply;
    const char* rest = line + 4 + std::strlen(keyword);
    if (std::strcmp(rest, " NO_MEDIA") == 0) {
        reply.kind = ReplyKind::NoMedia;
    } else if (std::strcmp(rest, " SUCCESS") == 0) {
        reply.kind = ReplyKind::Success;
        reply.data = "";
    } else if (StartsWith(rest, " SUCCESS ")) {
        reply.kind = ReplyKind::Success;
        reply.data = rest + 9;
        reply.dataLength = std::strlen(reply.data);
    }
    return reply;
}

bool TranslateFeatures(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength) {
    if (inLength % kFeatureEntry != 0) return false;
    size_t used = 0;
    for (size_t at = 0; at < inLength; at += kFeatureEntry) {
        if (in[at + 1] != 4) return false;
        if (DroppedFeature(in[at])) continue;
        if (used + kFeatureEntry > capacity) return false;
        WriteEntry(in[at], PcscFromAny(ReadBigEndian(in + at + 2)), out + used);
        used += kFeatureEntry;
    }
    if (used + kFeatureEntry > capacity) return false;
    WriteEntry(kTagVerifyPinDirect, PcscCtlCode(kFunctionVerifyPinDirect), out + used);
    *outLength = used + kFeatureEntry;
    return true;
}

bool CarriesSecret(const uint8_t* apdu, size_t length) {
    if (length < 2) return false;
    switch (apdu[1]) {
    case 0x20:  // VERIFY
    case 0x21:
    case 0x24:  // CHANGE REFERENCE DATA
    case 0x2C:  // RESET RETRY COUNTER
        return true;
    default: return false;
    }
}

void Printable(const char* line, char* out, size_t capacity) {
    size_t n = 0;
    for (; line[n] != '\0' && n + 1 < capacity; ++n) {
        unsigned char c = static_cast<unsigned char>(line[n]);
        out[n] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    out[n] = '\0';
}

} // namespace velmora::reader

namespace velmora::reader {

const char* AttributeName(uint32_t tag) {
    struct Entry {
        uint32_t tag;
        const char* name;
    };
    static const Entry kNames[] = {
        {0x00010100u, "VENDOR_NAME"}, {0x00010101u, "VENDOR_IFD_TYPE"}, {0x00010102u, "VENDOR_IFD_VERSION"},
        {0x00010103u, "VENDOR_IFD_SERIAL_NO"}, {0x00020110u, "CHANNEL_ID"}, {0x00030121u, "DEFAULT_CLK"},
        {0x00030122u, "MAX_CLK"}, {0x00030123u, "DEFAULT_DATA_RATE"}, {0x00030124u, "MAX_DATA_RATE"},
        {0x00030125u, "MAX_IFSD"}, {0x00040131u, "POWER_MGMT_SUPPORT"}, {0x00050140u, "USER_TO_CARD_AUTH_DEVICE"},
        {0x00050142u, "USER_AUTH_INPUT_DEVICE"}, {0x00060150u, "CHARACTERISTICS"},
        {0x00080201u, "CURRENT_PROTOCOL_TYPE"}, {0x00080202u, "CURRENT_CLK"}, {0x00080203u, "CURRENT_F"},
        {0x00080204u, "CURRENT_D"}, {0x00080205u, "CURRENT_N"}, {0x00080206u, "CURRENT_W"},
        {0x00080207u, "CURRENT_IFSC"}, {0x00080208u, "CURRENT_IFSD"}, {0x00080209u, "CURRENT_BWT"},
        {0x0008020Au, "CURRENT_CWT"}, {0x0008020Bu, "CURRENT_EBC_ENCODING"}, {0x0008020Cu, "EXTENDED_BWT"},
        {0x00090300u, "ICC_PRESENCE"}, {0x00090301u, "ICC_INTERFACE_STATUS"}, {0x00090302u, "CURRENT_IO_STATE"},
        {0x00090303u, "ATR_STRING"}, {0x00090304u, "ICC_TYPE_PER_ATR"}, {0x0007A000u, "ESC_RESET"},
        {0x0007A003u, "ESC_CANCEL"}, {0x0007A005u, "ESC_AUTHREQUEST"}, {0x0007A007u, "MAXINPUT"},
        {0x7FFF0001u, "DEVICE_UNIT"}, {0x7FFF0002u, "DEVICE_IN_USE"}, {0x7FFF0003u, "DEVICE_FRIENDLY_NAME"},
        {0x7FFF0004u, "DEVICE_SYSTEM_NAME"}, {0x7FFF0007u, "SUPRESS_T1_IFS_REQUEST"},
    };
    for (const Entry& entry : kNames) {
        if (entry.tag == tag) return entry.name;
    }
    return nullptr;
}

} // namespace velmora::reader
