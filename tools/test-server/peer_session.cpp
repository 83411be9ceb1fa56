#include "peer_session.h"

#include "wire/hex.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace velmora::server {
namespace {

using Clock = std::chrono::steady_clock;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SIGPIPE is ignored process-wide anyway
#endif

Clock::time_point DeadlineAfter(int64_t ms) {
    if (ms == kNoTimeout) return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(ms);
}

int PollTimeout(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    // Rounded up: rounding down would wake early and spin until the deadline.
    return static_cast<int>(std::min<int64_t>((left.count() + 999) / 1000, INT_MAX));
}

bool IsEvent(std::string_view line) {
    return line.substr(0, 6) == "EVENT ";
}

std::string LastWord(const std::string& line) {
    return line.substr(line.rfind(' ') + 1);
}

std::string Hex(std::string_view bytes) {
    std::string text(2 * bytes.size(), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) velmora::WriteHexByte(static_cast<uint8_t>(bytes[i]), &text[2 * i]);
    return text;
}

}  // namespace

Session::Session(int fd, int stop_fd, Input* input, Transcript* out, Tally* tally)
    : fd_(fd), stop_fd_(stop_fd), input_(input), out_(out), tally_(tally) {}

Session::~Session() {
    if (fd_ >= 0) close(fd_);
}

Outcome Session::Greet(std::string_view greeting, int64_t delay_ms) {
    out_->Note("greeting: " + std::string(greeting));
    Queue(std::string(greeting) + "\n");
    // The client takes its first read for the greeting: the first command
    // must not arrive in that same read.
    return Pause(delay_ms);
}

Outcome Session::Run(const Step& step, int64_t reply_timeout_ms) {
    if (fd_ < 0 || peer_closed_) return Outcome::kClosed;
    int64_t limit = step.ms == kNoTimeout ? reply_timeout_ms : step.ms;
    switch (step.kind) {
        case StepKind::kCommand: return Command(step.text, reply_timeout_ms);
        case StepKind::kSleep: return Pause(step.ms);
        case StepKind::kExpectEvent: return ExpectEvent(step.text, limit);
        case StepKind::kWaitClose: return WaitClose(step.ms);
        case StepKind::kClose: return Close(reply_timeout_ms);
        case StepKind::kRaw: return Raw(step.bytes, reply_timeout_ms);
        case StepKind::kEcho: out_->Note(step.text); return Outcome::kOk;
    }
    return Outcome::kOk;
}

Outcome Session::Command(const std::string& line, int64_t timeout_ms) {
    out_->Sent(line);
    ++tally_->commands;
    awaiting_reply_ = true;
    sent_at_ = Clock::now();
    Queue(line + "\n");
    Wake wake = WaitFor([this] { return !awaiting_reply_; }, DeadlineAfter(timeout_ms));
    if (wake == Wake::kDeadline) {
        awaiting_reply_ = false;
        TimedOut("reply to: " + line);
        // The client answers every line once: its reply may still come and
        // must not be taken for the next command's.
        late_.push_back(line);
    }
    if (wake == Wake::kClosed) return Outcome::kClosed;
    return wake == Wake::kStopped ? Outcome::kStopped : Outcome::kOk;
}

Outcome Session::Raw(const std::string& bytes, int64_t timeout_ms) {
    out_->Note("raw " + Hex(bytes) + " (" + std::to_string(bytes.size()) + " bytes)");
    Queue(bytes);
    return Drain(timeout_ms, "the client to take the raw bytes");
}

Outcome Session::Pause(int64_t ms) {
    Wake wake = WaitFor([] { return false; }, DeadlineAfter(ms));
    if (wake == Wake::kClosed) return Outcome::kClosed;
    return wake == Wake::kStopped ? Outcome::kStopped : Outcome::kOk;
}

Outcome Session::ExpectEvent(const std::string& word, int64_t timeout_ms) {
    Wake wake = WaitFor([&] { return TakeEvent(word); }, DeadlineAfter(timeout_ms));
    if (wake == Wake::kDeadline) TimedOut("event: " + word);
    if (wake == Wake::kClosed) return Outcome::kClosed;
    return wake == Wake::kStopped ? Outcome::kStopped : Outcome::kOk;
}

Outcome Session::WaitClose(int64_t timeout_ms) {
    Wake wake = WaitFor([this] { return peer_closed_; }, DeadlineAfter(timeout_ms));
    if (wake == Wake::kDeadline) TimedOut("the client to close");
    if (wake == Wake::kDone) return Outcome::kEnded;
    if (wake == Wake::kClosed) return Outcome::kClosed;
    return wake == Wake::kStopped ? Outcome::kStopped : Outcome::kOk;
}

Outcome Session::Close(int64_t timeout_ms) {
    Outcome outcome = Drain(timeout_ms, "the client to take the last bytes");
    if (outcome != Outcome::kOk) return outcome;
    // Read what already came, so it is shown and the close is not a reset.
    while (ReadClient()) {
    }
    if (peer_closed_) return Outcome::kEnded;
    close(fd_);
    fd_ = -1;
    out_->Note("closed the connection");
    return Outcome::kEnded;
}

Outcome Session::Drain(int64_t timeout_ms, std::string_view what) {
    Wake wake = WaitFor([this] { return unsent_.empty(); }, DeadlineAfter(timeout_ms));
    if (wake == Wake::kDeadline) TimedOut(what);
    if (wake == Wake::kClosed) return Outcome::kClosed;
    return wake == Wake::kStopped ? Outcome::kStopped : Outcome::kOk;
}

Outcome Session::ReadInput(std::string* text) {
    Line line;
    bool got = false;
    auto ready = [&] {
        got = input_->lines.Next(&line) || (input_->eof && input_->lines.TakeRest(&line));
        return got || input_->eof;
    };
    Wake wake = WaitFor(ready, Clock::time_point::max());
    if (wake == Wake::kClosed) return Outcome::kClosed;
    if (wake == Wake::kStopped) return Outcome::kStopped;
    if (!got) return Outcome::kEnded;
    *text = std::move(line.text);
    return Outcome::kOk;
}

Session::Wake Session::WaitFor(const std::function<bool()>& done, Clock::time_point deadline) {
    for (;;) {
        if (stopped_) return Wake::kStopped;
        if (done()) return Wake::kDone;
        if (fd_ < 0 || peer_closed_) return Wake::kClosed;
        if (Clock::now() >= deadline) return Wake::kDeadline;
        PollOnce(deadline);
    }
}

void Session::PollOnce(Clock::time_point deadline) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {stop_fd_, POLLIN, 0};
    short client_events = unsent_.empty() ? POLLIN : POLLIN | POLLOUT;
    fds[count++] = {fd_, client_events, 0};
    bool with_input = input_ != nullptr && !input_->eof;
    if (with_input) fds[count++] = {input_->fd, POLLIN, 0};
    if (poll(fds, count, PollTimeout(deadline)) < 0) {
        if (errno == EINTR) return;  // the stop pipe says whether to stop
        out_->Note("poll failed: " + std::string(std::strerror(errno)));
        stopped_ = true;
        return;
    }
    if (fds[0].revents != 0) stopped_ = true;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadClient();
    if ((fds[1].revents & POLLOUT) != 0 && !peer_closed_) Flush();
    if (with_input && fds[2].revents != 0) ReadInputFd();
}

// True if bytes came; false when none are waiting or the client is gone.
bool Session::ReadClient() {
    if (fd_ < 0 || peer_closed_) return false;
    char buffer[16 * 1024];
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got > 0) {
        lines_.Append(buffer, static_cast<size_t>(got));
        Line line;
        while (lines_.Next(&line)) HandleLine(line);
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
    PeerClosed(got < 0 ? errno : 0);
    return false;
}

void Session::ReadInputFd() {
    char buffer[4096];
    ssize_t got = read(input_->fd, buffer, sizeof buffer);
    if (got > 0) {
        input_->lines.Append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        input_->eof = true;
    }
}

void Session::Queue(std::string_view bytes) {
    unsent_.append(bytes);
    Flush();
}

void Session::Flush() {
    if (fd_ < 0 || peer_closed_ || unsent_.empty()) return;
    ssize_t sent = send(fd_, unsent_.data(), unsent_.size(), kSendFlags);
    if (sent >= 0) {
        unsent_.erase(0, static_cast<size_t>(sent));
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        PeerClosed(errno);
    }
}

void Session::PeerClosed(int error) {
    Line rest;
    if (lines_.TakeRest(&rest)) HandleLine(rest);
    peer_closed_ = true;
    unsent_.clear();
    if (error == 0) return out_->Note("client closed");
    out_->Note("client closed: " + std::string(std::strerror(error)));
}

void Session::HandleLine(const Line& line) {
    if (line.cut) out_->Note("line cut at " + std::to_string(kLineCap) + " bytes");
    if (IsEvent(line.text)) {
        out_->Event(line.text);
        events_.push_back(LastWord(line.text));
    } else if (!late_.empty()) {
        out_->Note("late reply to: " + late_.front());
        late_.pop_front();
        out_->Other(line.text);
    } else if (awaiting_reply_) {
        TakeReply(line.text);
    } else {
        out_->Other(line.text);
    }
}

void Session::TakeReply(const std::string& text) {
    auto rtt = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at_);
    awaiting_reply_ = false;
    ++tally_->replies;
    tally_->rtt.Add(rtt.count());
    out_->Reply(text, rtt.count());
}

// Takes the first waiting event of this kind and every older one: events are
// expected in the order they happen.
bool Session::TakeEvent(const std::string& word) {
    auto found = std::find(events_.begin(), events_.end(), word);
    if (found == events_.end()) return false;
    events_.erase(events_.begin(), found + 1);
    return true;
}

void Session::TimedOut(std::string_view what) {
    ++tally_->timeouts;
    out_->Note("timeout waiting for " + std::string(what));
}

}  // namespace velmora::server
