#include "session.h"

#include <algorithm>
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
    static const char* const kKeywords[] = {"TRANSMIT", "IOCTL", "GET_ATTRIBUTE", "CARD", "STATE", "RECONNECT"};
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
        connectedMs_ = lastHeardMs_ = NowMs();
        cardsUnanswered_ = 0;
        cardAnswered_ = false;
        noReconnect_ = false;
    }
    Log(kLogInfo, "client connected from %s", peer);
    // The client only logs the first read it gets: the greeting takes that
    // place, and CARD follows once the line has been quiet.
    if (!SendLine(kGreeting)) {
        port_.hangUp(port_.context);
        return;
    }
    Tick();
}

// Sends CARD with the lock let go; false (and the connection ended) if that failed.
bool Session::AskCard(Lock& lock, int64_t now) {
    ++cardsUnanswered_;
    lastHeardMs_ = now;
    lock.unlock();
    if (SendLine(kCard)) return true;
    port_.hangUp(port_.context);
    return false;
}

// Another CARD goes only after the line has been quiet: a CARD the client
// read together with the greeting is never answered, while one that is
// merely slow would be answered together with the next in one 500.
int Session::Tick() {
    Lock lock(mutex_);
    if (!connected_ || ready_) return -1;
    const int64_t now = NowMs();
    if (now - connectedMs_ >= options_.replyTimeoutMs) {
        Log(kLogError, "client did not answer CARD within %d ms: connection ended", options_.replyTimeoutMs);
        lock.unlock();
        port_.hangUp(port_.context);
        return -1;
    }
    const int64_t quiet = now - lastHeardMs_;
    const int64_t settle = options_.greetingRetryMs;
    // At least one repeat fits in the reply time-out, however short.
    const int64_t lost = std::min<int64_t>(4 * settle, options_.replyTimeoutMs / 2);
    if (cardAnswered_) {
        if (Settled(lock, now)) {
            BecomeReady(lock);
            return -1;
        }
        return static_cast<int>(settle - quiet);
    }
    if (cardsUnanswered_ == 0 && quiet >= settle) return AskCard(lock, now) ? static_cast<int>(lost) : -1;
    if (cardsUnanswered_ > 0 && quiet >= lost) {
        Log(kLogInfo, "CARD unanswered with the line quiet (read with the greeting): asked again");
        return AskCard(lock, now) ? static_cast<int>(lost) : -1;
    }
    return static_cast<int>((cardsUnanswered_ == 0 ? settle : lost) - quiet);
}

// Commands may go once no earlier CARD can still be answered in their place.
bool Session::Settled(const Lock&, int64_t now) const {
    return cardsUnanswered_ == 0 || now - lastHeardMs_ >= options_.greetingRetryMs;
}

void Session::BecomeReady(const Lock&) {
    ready_ = true;
    Log(kLogInfo, "client ready, card %s", present_ ? "present" : "absent");
    changed_.notify_all();
}

// In the handshake only a CARD answer counts; a 500 is the answer to a read
// that held more than one line, after which nothing is outstanding.
void Session::HandshakeReply(Lock& lock, const char* line) {
    const int64_t now = NowMs();
    lastHeardMs_ = now;
    const bool present = std::strcmp(line, "200 CARD PRESENT") == 0;
    if (present || std::strcmp(line, "200 CARD ABSENT") == 0) {
        if (cardsUnanswered_ > 0) --cardsUnanswered_;
        cardAnswered_ = true;
        if (present != present_) SetPresence(lock, present);
        if (Settled(lock, now)) BecomeReady(lock);
        return;
    }
    char shown[kShownLine];
    Printable(line, shown, sizeof shown);
    if (std::strncmp(line, "500", 3) == 0) {
        cardsUnanswered_ = 0;
        Log(kLogInfo, "client answered lines read together (%s): CARD asked again when the line is quiet", shown);
        return;
    }
    Log(kLogError, "reply without a request dropped: %s", shown);
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
        if (connected_ && !ready_) {
            HandshakeReply(lock, line);
            return;
        }
        if (pendingKeyword_ != nullptr && !replyReady_ && AnswersCommand(line, pendingLine_, pendingKeyword_)) {
            TakeReply(lock, line);
            return;
        }
        if (std::strncmp(line, "200 CARD ", 9) == 0) {
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
    // pcscd stops a wait only to start the next one: a stop left standing
    // would end every later wait at once and spin its thread.
    stopWaiting_ = false;
    return woken;
}

void Session::StopWaiting() {
    Lock lock(mutex_);
    stopWaiting_ = true;
    changed_.notify_all();
}

// A command waits for the handshake to end rather than fail: pcscd powers
// the card up as soon as CARD has been answered.
bool Session::WaitReady(Lock& lock) {
    if (connected_ && !ready_) {
        changed_.wait_for(lock, std::chrono::milliseconds(options_.replyTimeoutMs),
                          [this] { return ready_ || !connected_; });
    }
    return connected_ && ready_;
}

Result Session::Exchange(const CommandLine& command, char* reply) {
    const char* keyword = KeywordOf(command.Line());
    if (!command.Fits() || keyword == nullptr) {
        Log(kLogError, "command of %zu characters refused: a line holds at most %zu", command.Needed(), kCommandMax);
        return Result::TooLong;
    }
    Lock exchange(exchangeMutex_);
    uint64_t connection = 0;
    {
        Lock lock(mutex_);
        if (!WaitReady(lock)) return Result::NoCard;
        pendingKeyword_ = keyword;
        pendingLine_ = command.Line();
        pendingSinceMs_ = NowMs();
        replyReady_ = replyFailed_ = false;
        connection = connection_;
    }
    bool sent = SendLine(command.Line());
    Lock lock(mutex_);
    bool answered = sent && changed_.wait_for(lock, std::chrono::milliseconds(options_.replyTimeoutMs), [&] {
        return replyReady_ || replyFailed_ || !connected_ || connection_ != connection;
    });
    pendingKeyword_ = nullptr;
    pendingLine_ = nullptr;
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

bool Session::BeginProbe() {
    if (!probe_.try_lock()) return false;
    {
        Lock lock(mutex_);
        if (!connected_ || !ready_) {
            lock.unlock();
            probe_.unlock();
            return false;
        }
        pendingKeyword_ = pendingLine_ = "STATE";
        pendingSinceMs_ = NowMs();
        replyReady_ = replyFailed_ = false;
    }
    if (!SendLine("STATE")) {
        EndProbe();
        return false;
    }
    return true;
}

bool Session::ProbeAnswered() {
    Lock lock(mutex_);
    return replyReady_;
}

void Session::EndProbe() {
    {
        Lock lock(mutex_);
        pendingKeyword_ = pendingLine_ = nullptr;
    }
    if (probe_.owns_lock()) probe_.unlock();
}

int64_t Session::PendingMs() {
    Lock lock(mutex_);
    return pendingKeyword_ == nullptr ? 0 : NowMs() - pendingSinceMs_;
}

Result Session::Data(const CommandLine& command, const char* keyword, uint8_t* out, size_t capacity,
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
        CommandLine command;
        command.Text("GET_ATTRIBUTE ATR_STRING");
        Result result = Data(command, "GET_ATTRIBUTE", value, sizeof value, &length);
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

Result Session::Reconnect(const char* how) {
    {
        Lock lock(mutex_);
        if (noReconnect_) {
            Log(kLogError, "RECONNECT %s failed: the client cannot reset or power down its card", how);
            return Result::Failed;
        }
    }
    CommandLine command;
    command.Text("RECONNECT ").Text(how);
    char line[kLineBuffer];
    Result result = Exchange(command, line);
    if (result != Result::Ok) return result;
    Reply reply = ParseReply(line, "RECONNECT");
    if (reply.kind == ReplyKind::Success && reply.dataLength == 0) {
        // A warm reset may answer with another ATR; a cold start gives the one
        // the card answered at its insertion, which stays kept.
        Lock lock(mutex_);
        if (std::strcmp(how, "RESET") == 0) cache_.CardChanged();
        return Result::Ok;
    }
    if (reply.kind == ReplyKind::NoMedia) return Result::NoCard;
    char shown[kShownLine];
    Printable(line, shown, sizeof shown);
    if (std::strncmp(line, "500 invalid command", 19) == 0) {
        Lock lock(mutex_);
        noReconnect_ = true;
        Log(kLogError, "RECONNECT %s failed: the client cannot reset or power down its card (%s)", how, shown);
    } else {
        Log(kLogError, "RECONNECT %s failed at the workstation: %s", how, shown);
    }
    return Result::Failed;
}

Result Session::Reset(uint8_t* atr, size_t* atrLength) {
    Result result = Reconnect("RESET");
    if (result != Result::Ok) return result;
    return PowerUp(atr, atrLength);
}

Result Session::PowerDown() {
    Result result = Reconnect("UNPOWER");
    if (result == Result::Ok) {
        Lock lock(mutex_);
        atrLength_ = 0;
    }
    return result;
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
    CommandLine command;
    command.Text(protocol == 1 ? "TRANSMIT T1 " : "TRANSMIT T0 ").Bytes(apdu, length);
    if (ApduCarriesPin(apdu, length)) {
        Log(kLogDebug, "TRANSMIT T%d %.8s... (reference data not logged)", protocol == 1 ? 1 : 0,
            command.Line() + kTransmitPrefix);
    } else {
        Log(kLogDebug, "%s", command.Line());
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
Result Session::Remembered(const CommandLine& command, const char* keyword, const char* attribute, uint8_t* out,
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
    CommandLine command;
    command.Text("IOCTL ").Number(WireCtlCode(kFunctionFeatureRequest));
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
    CommandLine command;
    const uint32_t wire = WireFromPcsc(code);
    command.Text("IOCTL ").Number(wire);
    if (inLength > 0) command.Text(" ").Bytes(in, inLength);
    if (!command.Fits()) {
        Log(kLogError, "control input of %zu bytes does not fit a command line", inLength);
        return Result::TooLong;
    }
    // Which codes carry a PIN is the reader's business (any code its feature
    // answer names may be a PIN entry), so no control input is logged.
    Log(kLogDebug, "IOCTL %X with %zu bytes (input not logged)", wire, inLength);
    return Data(command, "IOCTL", out, capacity, outLength);
}

Result Session::Attribute(const char* name, uint8_t* out, size_t capacity, size_t* outLength) {
    CommandLine command;
    command.Text("GET_ATTRIBUTE ").Text(name);
    return Remembered(command, "GET_ATTRIBUTE", name, out, capacity, outLength);
}

} // namespace velmora::reader
