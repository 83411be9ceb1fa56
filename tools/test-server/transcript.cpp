#include "transcript.h"

#include "wire/hex.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace velmora::server {

std::string Escape(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            char digits[2];
            velmora::WriteHexByte(byte, digits);
            text += "\\x";
            text.append(digits, 2);
        } else {
            text += c;
        }
    }
    return text;
}

int64_t RttStats::Percentile(int percent) const {
    std::vector<int64_t> sorted = samples_;
    size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
    size_t index = rank == 0 ? 0 : rank - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index),
                     sorted.end());
    return sorted[index];
}

std::string Summary(const Tally& tally, bool quiet_rtt) {
    std::string text = std::to_string(tally.commands) + " commands, " +
                       std::to_string(tally.replies) + " replies, " +
                       std::to_string(tally.timeouts) + " timeouts";
    if (quiet_rtt || tally.rtt.empty()) return text;
    return text + ", median " + std::to_string(tally.rtt.Percentile(50)) + " us, p99 " +
           std::to_string(tally.rtt.Percentile(99)) + " us";
}

Transcript::~Transcript() {
    if (log_ != nullptr) std::fclose(log_);
}

bool Transcript::OpenLog(const std::string& path, std::string* error) {
    log_ = std::fopen(path.c_str(), "w");
    if (log_ != nullptr) return true;
    *error = path + ": " + std::strerror(errno);
    return false;
}

void Transcript::Write(std::string_view prefix, std::string_view text, std::string_view suffix) {
    std::string line;
    line.reserve(prefix.size() + text.size() + suffix.size() + 1);
    line.append(prefix).append(text).append(suffix).push_back('\n');
    // Flushed line by line: tests and people watch the transcript live.
    for (FILE* file : {out_, log_}) {
        if (file == nullptr) continue;
        std::fwrite(line.data(), 1, line.size(), file);
        std::fflush(file);
    }
}

void Transcript::Plain(std::string_view text) {
    Write("", text, "");
}

void Transcript::Note(std::string_view text) {
    Write("# ", Escape(text), "");
}

void Transcript::Sent(std::string_view command) {
    Write("> ", Escape(command), "");
}

void Transcript::Event(std::string_view line) {
    Write("! ", Escape(line), "");
}

void Transcript::Other(std::string_view line) {
    Write("? ", Escape(line), "");
}

void Transcript::Reply(std::string_view line, int64_t us) {
    if (quiet_rtt_) return Write("< ", Escape(line), "");
    Write("< ", Escape(line), "  (" + std::to_string(us) + " us)");
}

}  // namespace velmora::server
