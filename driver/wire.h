// The client's line protocol as the reader driver speaks it: limits, hex,
// reply parsing and the two encodings of reader control codes. Plain
// functions without state, so every rule is testable on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::reader {

// The client reads a command in one read of at most 999 bytes, newline
// included, and answers with at most 998 characters.
constexpr size_t kCommandMax = 998;
constexpr size_t kReplyMax = 998;
constexpr size_t kLineBuffer = 1000;

// One command line in a fixed buffer. Every line the driver sends is built
// here: a part that does not fit marks the line as refused instead of being
// cut or written past the buffer, whatever length a caller hands in.
class CommandLine {
public:
    CommandLine& Text(const char* text);
    CommandLine& Number(uint32_t value);  // upper-case hex, as the client reads codes
    CommandLine& Bytes(const uint8_t* data, size_t length);
    bool Fits() const { return !overflow_; }
    const char* Line() const { return text_; }
    size_t Length() const { return used_; }
    // The characters the whole line would have needed (for the log).
    size_t Needed() const { return needed_; }

private:
    char text_[kCommandMax + 1] = {};
    size_t used_ = 0;
    size_t needed_ = 0;
    bool overflow_ = false;
};

// pcsc-lite's encoding of control function n, and the client's wire form.
constexpr uint32_t kPcscCtlBase = 0x42000000u;
constexpr uint32_t kWireCtlDevice = 0x00310000u;
constexpr uint32_t PcscCtlCode(uint32_t n) { return kPcscCtlBase + n; }
constexpr uint32_t WireCtlCode(uint32_t n) { return kWireCtlDevice | (n << 2); }

constexpr uint32_t kFunctionFeatureRequest = 3400;
constexpr uint32_t kFunctionVerifyPinStart = 3401;
constexpr uint32_t kFunctionVerifyPinFinish = 3402;
constexpr uint32_t kFunctionGetKeyPressed = 3405;
constexpr uint32_t kFunctionAbort = 3411;
// The driver's own code for the one-call verify it offers server programs.
constexpr uint32_t kFunctionVerifyPinDirect = 3600;

// pcsc-lite form -> wire form; any other code goes unchanged.
uint32_t WireFromPcsc(uint32_t code);
// Either form -> pcsc-lite form (a Windows client answers in the wire form).
uint32_t PcscFromAny(uint32_t code);

// Upper-case hex of data into text (2 * length + 1 bytes).
void WriteHex(const uint8_t* data, size_t length, char* text);
// Strict: an even number of hex digits and nothing else. False if the text
// is not hex or does not fit `capacity`.
bool ReadHex(const char* text, size_t textLength, uint8_t* data, size_t capacity, size_t* length);

enum class LineKind { Empty, Inserted, Removed, Reply, Other };
LineKind Classify(const char* line);

enum class ReplyKind { Success, NoMedia, Failed, Other };
struct Reply {
    ReplyKind kind = ReplyKind::Other;
    const char* data = nullptr;  // hex after "SUCCESS ", or "" when none
    size_t dataLength = 0;
};
// A reply to `keyword` (TRANSMIT, IOCTL, GET_ATTRIBUTE, CARD): "200 KEYWORD
// SUCCESS[ hex]", "200 KEYWORD NO_MEDIA", "500 ...". A 200 for another
// keyword is Other: it answers some other command.
Reply ParseReply(const char* line, const char* keyword);
// Whether a reply line can be the answer to a command starting with keyword.
bool ReplyMatches(const char* line, const char* keyword);
// Whether a reply line answers this very command: its keyword's 200, or a
// 500 -- but a "500 invalid command '...'" only when it quotes the start of
// the command (the client quotes at most 20 characters); one quoting other
// text answers some other line the client read.
bool AnswersCommand(const char* line, const char* command, const char* keyword);

// Rewrites a feature request answer for server programs: codes into
// pcsc-lite's form, the client-side direct PIN entries dropped (they would
// block the client for the whole entry), the driver's own VERIFY_PIN_DIRECT
// added. False if the answer is not a list of 6-byte entries or the result
// does not fit `capacity`.
bool TranslateFeatures(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength);

// Whether an APDU carries reference data (a PIN) that no log may show.
bool CarriesSecret(const uint8_t* apdu, size_t length);

// A received line for a log: printable ASCII kept, others as '.', cut.
void Printable(const char* line, char* out, size_t capacity);

} // namespace velmora::reader

namespace velmora::reader {
// The client's name for a SCARD_ATTR_* tag; nullptr for one it does not know.
const char* AttributeName(uint32_t tag);
} // namespace velmora::reader
