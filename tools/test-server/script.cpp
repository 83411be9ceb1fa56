#include "script.h"

#include "wire/hex.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

namespace velmora::server {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Splits off the first blank-separated word.
std::string_view TakeWord(std::string_view* rest) {
    size_t end = 0;
    while (end < rest->size() && !IsBlank((*rest)[end])) ++end;
    std::string_view word = rest->substr(0, end);
    *rest = Trim(rest->substr(end));
    return word;
}

// Hex pairs, blanks allowed between pairs.
bool ParseRaw(std::string_view text, std::string* bytes) {
    bytes->clear();
    while (!text.empty()) {
        if (text.size() < 2) return false;
        int high = velmora::HexDigitValue(text[0]);
        int low = velmora::HexDigitValue(text[1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
        text = Trim(text.substr(2));
    }
    return !bytes->empty();
}

bool ParseOptionalMs(std::string_view text, int64_t* ms) {
    if (text.empty()) {
        *ms = kNoTimeout;
        return true;
    }
    return ParseMilliseconds(text, ms);
}

bool ParseEventArgs(std::string_view args, Step* step) {
    std::string_view word = TakeWord(&args);
    if (word != "INSERTED" && word != "REMOVED") return false;
    step->text = word;
    return ParseOptionalMs(args, &step->ms);
}

bool Fail(std::string* error, const char* message) {
    *error = message;
    return false;
}

bool ParseDirective(std::string_view name, std::string_view args, Step* step, std::string* error) {
    if (name == "@sleep") {
        step->kind = StepKind::kSleep;
        return ParseMilliseconds(args, &step->ms) || Fail(error, "@sleep needs MS");
    }
    if (name == "@expect-event") {
        step->kind = StepKind::kExpectEvent;
        return ParseEventArgs(args, step) ||
               Fail(error, "@expect-event needs INSERTED or REMOVED, then optionally MS");
    }
    if (name == "@wait-close") {
        step->kind = StepKind::kWaitClose;
        return ParseOptionalMs(args, &step->ms) || Fail(error, "@wait-close takes only MS");
    }
    if (name == "@close") {
        step->kind = StepKind::kClose;
        return args.empty() || Fail(error, "@close takes nothing");
    }
    if (name == "@raw") {
        step->kind = StepKind::kRaw;
        return ParseRaw(args, &step->bytes) || Fail(error, "@raw needs pairs of hex digits");
    }
    if (name == "@echo") {
        step->kind = StepKind::kEcho;
        step->text = args;
        return true;
    }
    return Fail(error, "unknown directive");
}

}  // namespace

bool ParseMilliseconds(std::string_view text, int64_t* ms) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end || value < 0) return false;
    *ms = value;
    return true;
}

ParseResult ParseStep(std::string_view line, Step* step, std::string* error) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') return ParseResult::kSkip;
    *step = Step{};
    if (line.front() != '@') {
        step->text = line;
        return ParseResult::kStep;
    }
    std::string_view name = TakeWord(&line);
    return ParseDirective(name, line, step, error) ? ParseResult::kStep : ParseResult::kError;
}

bool LoadScript(const std::string& path, std::vector<Step>* steps, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        Step step;
        std::string why;
        ParseResult result = ParseStep(line, &step, &why);
        if (result == ParseResult::kError) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        if (result == ParseResult::kStep) steps->push_back(std::move(step));
    }
    return true;
}

}  // namespace velmora::server
