#include "session.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace velmora::reader {
namespace {

constexpr char kGreeting[] = "HELLO velmora-reader";
constexpr char kCard[] = "CARD";
constexpr size_t kTransmitPrefix = 12;  // "TRANSMIT T1 "
constexpr size_t kShownLine = 80;       // received text in a log line

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The keyword a command's reply repeats; a static string, kept as a pointer.
const char* KeywordOf(const char* command) {
    static const char* const kKeywords[] = {"TRANSMIT", "IOCTL", "GET_ATTRIBUTE", "CARD"};
    for (const char* keyword : kKeywords) {
        size_t n = std::strlen(keyword);
        if (std::strncmp(command, keyword, n) == 0 && (command[n] == ' ' || command[n] == '\0')) return keyword;
    }
    return nullptr;
}

} // namespace

void Session::Log(int level, const char* format, ...) {
    char text[kLineBuffer + 200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    port_.log(port_.context, level, text);
}

bool Session::SendLine(const char* line) {
    char buffer[kLineBuffer + 1];
    size_t n = std::strlen(line);
    if (n > kCommandMax) return false;
    std::memcpy(buffer, line, n);
    buffer[n] = '\n';
    std::lock_guard<std::mutex> lock(sendMutex_);
    return port_.send(port_.context, buffer, n + 1);
}

// --- Network side ----------------------------------------------------------

void Session::Connected(const char* peer) {
    {
        Lock lock(mutex_);
        connected_ = true;
        ready_ = false;
        ++connection_;
        cache_.ConnectionChanged();
        firstAskedMs_ = lastAskedMs_ = NowMs();
        retryMs_ = options_.greetingRetryMs;
    }
    Log(kLogInfo, "client connected from %s", peer);
    // The client only logs the first line it reads: the greeting takes that
    // place, and Tick asks again if CARD was read together with it.
    if (!SendLine(kGreeting) || !SendLine(kCard)) port_.hangUp(port_.context);
}

// The retry interval doubles up to kMaxRetryMs, so a slow link is not
// flooded with CARD while its first answer is on the way.
int Session::Tick() {
    constexpr int kMaxRetryMs = 2000;
    Lock lock(mutex_);
    if (!connected_ || ready_) return -1;
    const int64_t now = NowMs();
    if (now - firstAskedMs_ >= options_.replyTimeoutMs) {
        Log(kLogError, "client did not answer CARD within %d ms: connection ended", options_.replyTimeoutMs);
        lock.unlock();
        port_.hangUp(port_.context);
        return -1;
    }
    if (now - lastAskedMs_ >= retryMs_) {
        lastAskedMs_ = now;
        retryMs_ = retryMs_ * 2 < kMaxRetryMs ? retryMs_ * 2 : kMaxRetryMs;
        const int next = retryMs_;
        lock.unlock();
        if (!SendLine(kCard)) port_.hangUp(port_.context);
        return next;
    }
    return static_cast<int>(retryMs_ - (now - lastAskedMs_));
}

void Session::SetPresence(const Lock&, bool present) {
    // An insertion while a card is present is a swap the client saw whole:
    // pcscd must still see the old card go.
    if (present_ == present && !present) return;
    if (present_) removalUnseen_ = true;
    present_ = present;
    atrLength_ = 0;
    cache_.CardChanged();
    ++changes_;
    changed_.notify_all();
}

void Session::FailPending(const Lock&) {
    if (pendingKeyword_ == nullptr) return;
    replyFailed_ = true;
    changed_.notify_all();
}

// The waiter is woken after the lock is let go, so it does not wake only
// to wait for the lock: one thread switch less per command.
void Session::TakeReply(Lock& lock, const char* line) {
    std::snprintf(reply_, sizeof reply_, "%s", line);
    replyReady_ = true;
    lock.unlock();
    changed_.notify_all();
}

void Session::Received(const char* line) {
    Lock lock(mutex_);
    char shown[kShownLine];
    switch (Classify(line)) {
    case LineKind::Empty: return;
    case LineKind::Inserted:
        Log(kLogInfo, "card inserted at the workstation");
        SetPresence(lock, true);
        return;
    case LineKind::Removed:
        Log(kLogInfo, "card removed at the workstation");
        SetPresence(lock, false);
        return;
    case LineKind::Reply:
        if (connected_ && !ready_ && ReplyMatches(line, kCard)) {
            bool present = std::strcmp(line, "200 CARD PRESENT") == 0;
            Log(kLogInfo, "client ready, card %s", present ? "present" : "absent");
            if (present != present_) SetPresence(lock, present);
            ready_ = true;
            changed_.notify_all();
            return;
        }
        if (pendingKeyword_ != nullptr && !replyReady_ && ReplyMatches(line, pendingKeyword_)) {
            TakeReply(lock, line);
            return;
        }
        if (ready_ && std::strncmp(line, "200 CARD ", 9) == 0) {
            Log(kLogInfo, "late answer to a repeated CARD dropped");
            return;
        }
        Printable(line, shown, sizeof shown);
        Log(kLogError, "reply without a request dropped: %s", shown);
        return;
    case LineKind::Other:
        Printable(line, shown, sizeof shown);
        Log(kLogError, "unexpected line from the client: %s", shown);
        FailPending(lock);
        return;
    }
}

void Session::Overlong() {
    Lock lock(mutex_);
    Log(kLogError, "line over %zu bytes from the client dropped", kLineBuffer - 1);
    FailPending(lock);
}

void Session::Disconnected() {
    Lock lock(mutex_);
    Log(kLogInfo, "client disconnected: card and reader absent");
    connected_ = false;
    ready_ = false;
    cache_.ConnectionChanged();
    SetPresence(lock, false);
    FailPending(lock);
    changed_.notify_all();
}

// --- pcscd's side ----------------------------------------------------------

bool Session::Present() {
    Lock lock(mutex_);
    if (removalUnseen_) {
        removalUnseen_ = false;
        if (present_) {  // let the next wait return at once for the new card
            ++changes_;
            changed_.notify_all();
        }
        return false;
    }
    return present_;
}

bool Session::WaitForChange(int timeoutMs) {
    Lock lock(mutex_);
    bool woken = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                                   [this] { return changes_ != waitedChanges_ || stopWaiting_; });
    waitedChanges_ = changes_;
    return woken;
}

void Session::StopWaiting() {
    Lock lock(mutex_);
    stopWaiting_ = true;
    changed_.notify_all();
}

Result Session::Exchange(const char* command, char* reply) {
    const char* keyword = KeywordOf(command);
    if (keyword == nullptr || std::strlen(command) > kCommandMax) return Result::TooLong;
    Lock exchange(exchangeMutex_);
    uint64_t connection = 0;
    {
        Lock lock(mutex_);
        if (!connected_ || !ready_) return Result::NoCard;
        pendingKeyword_ = keyword;
        replyReady_ = replyFailed_ = false;
        connection = connection_;
    }
    bool sent = SendLine(command);
    Lock lock(mutex_);
    bool answered = sent && changed_.wait_for(lock, std::chrono::milliseconds(options_.replyTimeoutMs), [&] {
        return replyReady_ || replyFailed_ || !connected_ || connection_ != connection;
    });
    pendingKeyword_ = nullptr;
    if (replyReady_) {
        std::memcpy(reply, reply_, sizeof reply_);
        return Result::Ok;
    }
    if (sent && !answered) {
        // A late reply would be taken for the next command's.
        Log(kLogError, "no reply to %s within %d ms: connection ended", keyword, options_.replyTimeoutMs);
        lock.unlock();
        port_.hangUp(port_.context);
    } else if (!sent) {
        Log(kLogError, "%s could not be sent: connection lost", keyword);
    }
    return Result::Failed;
}

Result Session::Data(const char* command, const char* keyword, uint8_t* out, size_t capacity,
                     size_t* outLength) {
    char line[kLineBuffer];
    Result result = Exchange(command, line);
    if (result != Result::Ok) return result;
    Reply reply = ParseReply(line, keyword);
    char shown[kShownLine];
    Printable(line, shown, sizeof shown);
    switch (reply.kind) {
    case ReplyKind::NoMedia: return Result::NoCard;
    case ReplyKind::Failed: Log(kLogError, "%s failed at the workstation: %s", keyword, shown); return Result::Failed;
    case ReplyKind::Other: Log(kLogError, "%s: unexpected reply %s", keyword, shown); return Result::Failed;
    case ReplyKind::Success: break;
    }
    if (reply.dataLength / 2 > capacity) {
        Log(kLogError, "%s: answer of %zu bytes does not fit %zu", keyword, reply.dataLength / 2, capacity);
        return Result::Small;
    }
    if (!ReadHex(reply.data, reply.dataLength, out, capacity, outLength)) {
        Log(kLogError, "%s: reply is not hex: %s", keyword, shown);
        return Result::Failed;
    }
    return Result::Ok;
}

Result Session::PowerUp(uint8_t* atr, size_t* atrLength) {
    uint8_t value[kMaxAtr];
    size_t length = 0;
    uint64_t changes = 0;
    bool kept = false;
    {
        Lock lock(mutex_);
        changes = changes_;
        kept = present_ && cache_.Atr(value, sizeof value, &length);
    }
    if (!kept) {
        Result result = Data("GET_ATTRIBUTE ATR_STRING", "GET_ATTRIBUTE", value, sizeof value, &length);
        if (result == Result::Small) Log(kLogError, "ATR longer than %zu bytes", kMaxAtr);
        if (result != Result::Ok) return result == Result::NoCard ? result : Result::Failed;
        if (length == 0) return Result::NoCard;
    }
    Lock lock(mutex_);
    // An ATR asked for before a card event belongs to the card that went.
    if (changes == changes_) cache_.KeepAtr(value, length);
    std::memcpy(atr_, value, length);
    atrLength_ = length;
    std::memcpy(atr, value, length);
    *atrLength = length;
    return Result::Ok;
}

void Session::PowerDown() {
    // Nothing to tell the client: its card connection stays, and the next
    // power up asks for the ATR afresh.
}

bool Session::CachedAtr(uint8_t* atr, size_t* atrLength) {
    Lock lock(mutex_);
    if (atrLength_ == 0) return false;
    std::memcpy(atr, atr_, atrLength_);
    *atrLength = atrLength_;
    return true;
}

Result Session::Transmit(int protocol, const uint8_t* apdu, size_t length, uint8_t* out, size_t capacity,
                         size_t* outLength) {
    if (kTransmitPrefix + 2 * length > kCommandMax) {
        Log(kLogError, "APDU of %zu bytes does not fit a command line (at most %zu)", length,
            (kCommandMax - kTransmitPrefix) / 2);
        return Result::TooLong;
    }
    char command[kLineBuffer];
    std::snprintf(command, sizeof command, "TRANSMIT T%d ", protocol == 1 ? 1 : 0);
    WriteHex(apdu, length, command + kTransmitPrefix);
    if (CarriesSecret(apdu, length)) {
        Log(kLogDebug, "TRANSMIT T%d %.8s... (reference data not logged)", protocol == 1 ? 1 : 0,
            command + kTransmitPrefix);
    } else {
        Log(kLogDebug, "%s", command);
    }
    Result result = Data(command, "TRANSMIT", out, capacity, outLength);
    if (result == Result::Ok) {
        char hex[2 * 8 + 1];
        WriteHex(out, *outLength < 8 ? *outLength : 8, hex);
        Log(kLogDebug, "-> %s%s (%zu bytes)", hex, *outLength > 8 ? "..." : "", *outLength);
    }
    return result;
}

// What the client answered, from the cache when it has been asked on this
// connection; kept only when it was the answer of the connection still there.
Result Session::Remembered(const char* command, const char* keyword, const char* attribute, uint8_t* out,
                           size_t capacity, size_t* outLength) {
    uint64_t connection = 0;
    {
        Lock lock(mutex_);
        connection = connection_;
        bool kept = attribute != nullptr ? cache_.Attribute(attribute, out, capacity, outLength)
                                         : cache_.Features(out, capacity, outLength);
        if (kept && connected_ && ready_) return Result::Ok;
    }
    Result result = Data(command, keyword, out, capacity, outLength);
    Lock lock(mutex_);
    if (result != Result::Ok || connection != connection_) return result;
    if (attribute != nullptr) {
        cache_.KeepAttribute(attribute, out, *outLength);
    } else {
        cache_.KeepFeatures(out, *outLength);
    }
    return result;
}

Result Session::Features(uint8_t* out, size_t capacity, size_t* outLength) {
    uint8_t answer[kLineBuffer];
    size_t length = 0;
    char command[32];
    std::snprintf(command, sizeof command, "IOCTL %X", WireCtlCode(kFunctionFeatureRequest));
    Result result = Remembered(command, "IOCTL", nullptr, answer, sizeof answer, &length);
    if (result == Result::NoCard) return result;
    if (result != Result::Ok) length = 0;  // the driver's own entry still works
    if (TranslateFeatures(answer, length, out, capacity, outLength)) return Result::Ok;
    Log(kLogError, "feature answer of %zu bytes is not a list of entries: only VERIFY_PIN_DIRECT offered", length);
    return TranslateFeatures(answer, 0, out, capacity, outLength) ? Result::Ok : Result::Small;
}

Result Session::Control(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity,
                        size_t* outLength) {
    if (code == PcscCtlCode(kFunctionVerifyPinDirect)) return VerifyPinDirect(in, inLength, out, capacity, outLength);
    if (code == PcscCtlCode(kFunctionFeatureRequest)) return Features(out, capacity, outLength);
    char command[kLineBuffer];
    int used = std::snprintf(command, sizeof command, "IOCTL %X", WireFromPcsc(code));
    if (static_cast<size_t>(used) + 1 + 2 * inLength > kCommandMax) {
        Log(kLogError, "control input of %zu bytes does not fit a command line", inLength);
        return Result::TooLong;
    }
    if (inLength > 0) {
        command[used] = ' ';
        WriteHex(in, inLength, command + used + 1);
    }
    Log(kLogDebug, "%s", command);
    return Data(command, "IOCTL", out, capacity, outLength);
}

Result Session::Attribute(const char* name, uint8_t* out, size_t capacity, size_t* outLength) {
    char command[64];
    std::snprintf(command, sizeof command, "GET_ATTRIBUTE %s", name);
    return Remembered(command, "GET_ATTRIBUTE", name, out, capacity, outLength);
}

} // namespace velmora::reader
