// The reader as the driver knows it: one client connection at a time, its
// card's presence from the client's event lines, and the commands pcscd's
// calls become. The network side feeds it lines and connection changes
// (one thread); pcscd's threads call the operations, each of which sends at
// most one command at a time and waits for its reply. It reaches the outside
// only through Port, so its tests run over a fake connection.
#pragma once

#include "cache.h"
#include "wire.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace velmora::reader {

enum { kLogDebug = 0, kLogInfo = 1, kLogError = 2 };

// Everything the core needs from its shell.
struct Port {
    void* context;
    // Sends bytes whole; false if the connection is gone.
    bool (*send)(void* context, const char* data, size_t length);
    // Ends the connection; the network side then reports Disconnected.
    void (*hangUp)(void* context);
    void (*log)(void* context, int level, const char* text);
};

struct Options {
    int replyTimeoutMs = 60000;   // a command without a reply in this time ends the connection;
                                  // long enough for a card generating a key
    int greetingRetryMs = 250;    // the first command again when the client dropped it with the greeting
    int keyPollMs = 100;          // GET_KEY_PRESSED during a PIN entry
    int pinSecondMs = 1000;       // one second of the PIN structure's time-out
    bool debug = false;           // APDUs and replies in the log
    bool cache = true;            // keep what cannot change (see cache.h)
};

enum class Result { Ok, NoCard, Failed, TooLong, Small };

constexpr size_t kMaxAtr = 33;

class Session {
public:
    Session(const Port& port, const Options& options) : port_(port), options_(options) {
        cache_.Enable(options.cache);
    }

    // Network side, one thread.
    void Connected(const char* peer);
    void Received(const char* line);
    void Overlong();  // a line past the limit: dropped up to its end
    void Disconnected();
    // Resends the first command when due; ms until the next call is due, or -1.
    int Tick();

    // pcscd's side.
    bool Present();                 // false once after a removal, so pcscd sees a swap
    bool WaitForChange(int timeoutMs);
    void StopWaiting();
    Result PowerUp(uint8_t* atr, size_t* atrLength);
    void PowerDown();
    bool CachedAtr(uint8_t* atr, size_t* atrLength);
    Result Transmit(int protocol, const uint8_t* apdu, size_t length, uint8_t* out, size_t capacity,
                    size_t* outLength);
    Result Control(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity,
                   size_t* outLength);
    Result Attribute(const char* name, uint8_t* out, size_t capacity, size_t* outLength);

    // One command and its reply line; exposed for the PIN sequence.
    Result Exchange(const char* command, char* reply);

private:
    using Lock = std::unique_lock<std::mutex>;
    void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool SendLine(const char* line);
    void SetPresence(const Lock&, bool present);
    void TakeReply(Lock&, const char* line);
    void FailPending(const Lock&);
    Result Data(const char* command, const char* keyword, uint8_t* out, size_t capacity, size_t* outLength);
    Result Features(uint8_t* out, size_t capacity, size_t* outLength);
    Result Remembered(const char* command, const char* keyword, const char* attribute, uint8_t* out, size_t capacity,
                      size_t* outLength);
    Result VerifyPinDirect(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength);
    Result PinStep(const char* command, char* reply);
    int PollKeys(int64_t deadlineMs);

    const Port port_;
    const Options options_;
    std::mutex sendMutex_;      // one writer on the socket at a time
    std::mutex exchangeMutex_;  // one command in flight
    std::mutex mutex_;          // everything below
    std::condition_variable changed_;
    bool connected_ = false;
    bool ready_ = false;        // the first CARD has been answered
    int64_t firstAskedMs_ = 0;
    int64_t lastAskedMs_ = 0;
    int retryMs_ = 0;
    bool present_ = false;
    bool removalUnseen_ = false;
    uint64_t changes_ = 0;
    uint64_t waitedChanges_ = 0;
    bool stopWaiting_ = false;
    uint64_t connection_ = 0;   // which connection a pending command belongs to
    const char* pendingKeyword_ = nullptr;
    bool replyReady_ = false;
    bool replyFailed_ = false;
    char reply_[kLineBuffer] = {};
    uint8_t atr_[kMaxAtr] = {};
    size_t atrLength_ = 0;
    Cache cache_;
};

} // namespace velmora::reader
