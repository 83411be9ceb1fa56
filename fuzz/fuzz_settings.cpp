// Settings and the support log's PIN hiding over arbitrary text. Input: the
// first byte picks the output size for RedactPins (1..256); the rest is
// split at NUL bytes into words, which are given to ParseCommandLine as
// arguments and, pair by pair, to ApplySetting as key and value, and each
// as a line of a settings file to ReadIniLine, in a heap block of its own
// size. The redacted copy goes into a heap block of exactly that size.
#include "app/settings.h"
#include "app/support_log.h"
#include "support.h"

namespace {

void CheckSettings(const velmora::Settings& s) {
    fuzz::Check(std::memchr(s.host, '\0', sizeof s.host) != nullptr && s.host[0] != '\0', "host");
    fuzz::Check(s.port != 0, "port 0 taken");
    fuzz::Check(std::memchr(s.reader, '\0', sizeof s.reader) != nullptr, "reader unterminated");
    fuzz::Check(std::memchr(s.logFile, '\0', sizeof s.logFile) != nullptr, "log path unterminated");
    fuzz::Check(std::memchr(s.problems, '\0', sizeof s.problems) != nullptr, "problems unterminated");
    fuzz::Check(s.reconnect <= velmora::kReconnectMaxSeconds, "reconnect above its limit");
}

void Redact(const std::string& text, size_t size) {
    std::unique_ptr<char[]> out(new char[size]);
    size_t length = velmora::RedactPins(text.c_str(), out.get(), size);
    if (length >= size || out[length] != '\0' || std::strlen(out.get()) != length) {
        fuzz::Fail("RedactPins returned %zu for a buffer of %zu", length, size);
    }
    // Hiding only ever shortens a payload: the copy is never longer than
    // the text plus one marker per command word.
    fuzz::Check(length <= text.size() + 2 * (text.size() / 6 + 1), "copy longer than its text");
}

// Key and value point into the line, terminated, whatever the line holds.
void ReadLine(const std::string& word) {
    std::unique_ptr<char[]> line(new char[word.size() + 1]);
    std::memcpy(line.get(), word.c_str(), word.size() + 1);
    const char* key = nullptr;
    const char* value = nullptr;
    velmora::IniLine kind = velmora::ReadIniLine(line.get(), &key, &value);
    const char* end = line.get() + word.size() + 1;
    fuzz::Check(key >= line.get() && key < end, "key outside its line");
    if (kind == velmora::IniLine::Entry) fuzz::Check(value >= line.get() && value < end, "value outside its line");
    fuzz::Check(std::memchr(key, '\0', static_cast<size_t>(end - key)) != nullptr, "key unterminated");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t outSize = static_cast<size_t>(data[0]) + 1;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    Redact(rest, outSize);

    std::vector<std::string> words;
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find('\0', start);
        if (end == std::string::npos) end = rest.size();
        words.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv{"velmora-client"};
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
        ReadLine(w);
    }
    velmora::Settings s = velmora::DefaultSettings();
    velmora::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &s);
    CheckSettings(s);
    for (size_t i = 0; i + 1 < words.size(); i += 2) velmora::ApplySetting(&s, words[i].c_str(), words[i + 1].c_str());
    CheckSettings(s);
    return 0;
}
