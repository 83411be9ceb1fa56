// One client's connection. Sends what the steps say and sorts what comes back
// into replies, events and other lines, in one poll loop that never blocks on
// the client: events and a closing client are seen whatever the server waits
// for.
#pragma once

#include "line_buffer.h"
#include "script.h"
#include "transcript.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::server {

enum class Outcome {
    kOk,       // done; a timeout goes to the tally and the script goes on
    kEnded,    // over as the script meant it: @close, @wait-close, end of input
    kClosed,   // the client went away
    kStopped,  // SIGINT or SIGTERM
};

// Standard input in interactive mode. Outlives sessions: what is typed ahead
// is kept for the next client.
struct Input {
    int fd = 0;
    LineBuffer lines;
    bool eof = false;
};

class Session {
public:
    // Takes fd (non-blocking); input may be null.
    Session(int fd, int stop_fd, Input* input, Transcript* out, Tally* tally);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Outcome Greet(std::string_view greeting, int64_t delay_ms);
    Outcome Run(const Step& step, int64_t reply_timeout_ms);
    // The next line of the input; kEnded at its end.
    Outcome ReadInput(std::string* line);
    // kEnded once the client has closed; kNoTimeout waits for ever.
    Outcome WaitClose(int64_t timeout_ms);
    // Sends what is still queued (waiting at most timeout_ms), then closes.
    Outcome Close(int64_t timeout_ms);

private:
    using Clock = std::chrono::steady_clock;
    enum class Wake { kDone, kDeadline, kClosed, kStopped };

    Outcome Command(const std::string& line, int64_t timeout_ms);
    Outcome Raw(const std::string& bytes, int64_t timeout_ms);
    Outcome Pause(int64_t ms);
    Outcome ExpectEvent(const std::string& word, int64_t timeout_ms);
    Outcome Drain(int64_t timeout_ms, std::string_view what);

    Wake WaitFor(const std::function<bool()>& done, Clock::time_point deadline);
    void PollOnce(Clock::time_point deadline);
    bool ReadClient();
    void ReadInputFd();
    void Queue(std::string_view bytes);
    void Flush();
    void PeerClosed(int error);
    void HandleLine(const Line& line);
    void TakeReply(const std::string& text);
    bool TakeEvent(const std::string& word);
    void TimedOut(std::string_view what);

    int fd_;
    int stop_fd_;
    Input* input_;
    Transcript* out_;
    Tally* tally_;
    LineBuffer lines_;
    std::string unsent_;
    bool peer_closed_ = false;
    bool stopped_ = false;
    bool awaiting_reply_ = false;
    Clock::time_point sent_at_;
    std::deque<std::string> late_;    // timed-out commands whose replies may still come
    std::deque<std::string> events_;  // event words not yet taken by @expect-event
};

}  // namespace velmora::server
