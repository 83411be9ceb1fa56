// What the server prints: one line per thing that happened, its kind in the
// first character, so scripts can grep it and people can read it.
//   > sent command     < reply to it     ! event line
//   ? any other line from the client     # note
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

// Control bytes and backslashes as \xNN and \\, so every received line prints
// as one line of text.
std::string Escape(std::string_view bytes);

class RttStats {
public:
    void Add(int64_t us) { samples_.push_back(us); }
    bool empty() const { return samples_.empty(); }
    // Nearest-rank percentile, 0 < percent <= 100; needs samples.
    int64_t Percentile(int percent) const;

private:
    std::vector<int64_t> samples_;
};

struct Tally {
    int64_t commands = 0;
    int64_t replies = 0;
    int64_t timeouts = 0;
    RttStats rtt;
};

// "12 commands, 12 replies, 0 timeouts, median 150 us, p99 300 us"
std::string Summary(const Tally& tally, bool quiet_rtt);

class Transcript {
public:
    Transcript(FILE* out, bool quiet_rtt) : out_(out), quiet_rtt_(quiet_rtt) {}
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    bool OpenLog(const std::string& path, std::string* error);
    bool quiet_rtt() const { return quiet_rtt_; }

    void Plain(std::string_view text);
    void Note(std::string_view text);
    void Sent(std::string_view command);
    void Reply(std::string_view line, int64_t us);
    void Event(std::string_view line);
    void Other(std::string_view line);

private:
    void Write(std::string_view prefix, std::string_view text, std::string_view suffix);

    FILE* out_;
    FILE* log_ = nullptr;
    bool quiet_rtt_;
};

}  // namespace velmora::server
