// The steps the server plays to a client: command lines and directives, read
// from a script file or typed on standard input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

enum class StepKind {
    kCommand,      // send a line, wait for its reply
    kSleep,        // @sleep MS
    kExpectEvent,  // @expect-event INSERTED|REMOVED [MS]
    kWaitClose,    // @wait-close [MS]
    kClose,        // @close
    kRaw,          // @raw HEX
    kEcho,         // @echo TEXT
};

constexpr int64_t kNoTimeout = -1;

struct Step {
    StepKind kind = StepKind::kCommand;
    std::string text;         // command line, event word, or echo text
    std::string bytes;        // @raw
    int64_t ms = kNoTimeout;  // @sleep; limit of the waits, kNoTimeout if none given
};

enum class ParseResult { kStep, kSkip, kError };

// kSkip for empty lines and comments.
ParseResult ParseStep(std::string_view line, Step* step, std::string* error);

// error names the file and line of the first bad step.
bool LoadScript(const std::string& path, std::vector<Step>* steps, std::string* error);

// A non-negative decimal number of milliseconds.
bool ParseMilliseconds(std::string_view text, int64_t* ms);

}  // namespace velmora::server
