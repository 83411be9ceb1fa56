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

void Printable(const char* line, char* out, size_t capacity) {
    size_t n = 0;
    for (; line[n] != '\0' && n + 1 < capacity; ++n) {
        unsigned char c = static_cast<unsigned char>(line[n]);
        out[n] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    out[n] = '\0';
}

} // namespace velmora::reader
