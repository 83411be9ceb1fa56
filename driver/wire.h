// The client's line protocol as the reader driver speaks it: limits, line
// building, reply parsing and the feature answer. Plain functions without
// state, so every rule is testable on its own. Hex, attribute names, control
// codes and what is secret are the wire vocabulary shared with the client.
#pragma once

#include "wire/attributes.h"
#include "wire/control_code.h"
#include "wire/hex.h"
#include "wire/secret.h"

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

// The driver's own code for the one-call verify it offers server programs.
constexpr uint32_t kFunctionVerifyPinDirect = 3600;

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

// A received line for a log: printable ASCII kept, others as '.', cut.
void Printable(const char* line, char* out, size_t capacity);

} // namespace velmora::reader
