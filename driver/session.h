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
    // Asks CARD when the line is quiet; ms until the next call is due, or -1.
    int Tick();
    // A new client knocks: asks the connected one STATE, which a live client
    // answers at once. False when that cannot be asked now (a command is in
    // flight or the client is not ready); PendingMs then says for how long
    // the command has waited. ProbeAnswered until EndProbe, which lets the
    // commands of pcscd's threads go again.
    bool BeginProbe();
    bool ProbeAnswered();
    void EndProbe();
    int64_t PendingMs();

    // pcscd's side.
    bool Present();                 // false once after a removal, so pcscd sees a swap
    bool WaitForChange(int timeoutMs);
    void StopWaiting();
    Result PowerUp(uint8_t* atr, size_t* atrLength);
    // Reset and power-down reach the card through the client's RECONNECT,
    // an extension; a client without it makes them fail.
    Result Reset(uint8_t* atr, size_t* atrLength);
    Result PowerDown();
    bool CachedAtr(uint8_t* atr, size_t* atrLength);
    Result Transmit(int protocol, const uint8_t* apdu, size_t length, uint8_t* out, size_t capacity,
                    size_t* outLength);
    Result Control(uint32_t code, const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity,
                   size_t* outLength);
    Result Attribute(const char* name, uint8_t* out, size_t capacity, size_t* outLength);

    // One command and its reply line; exposed for the PIN sequence. A line
    // the builder refused is never sent (TooLong, one log line).
    Result Exchange(const CommandLine& command, char* reply);

private:
    using Lock = std::unique_lock<std::mutex>;
    void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool SendLine(const char* line);
    bool AskCard(Lock& lock, int64_t now);
    void HandshakeReply(Lock& lock, const char* line);
    bool Settled(const Lock&, int64_t now) const;
    void BecomeReady(const Lock&);
    bool WaitReady(Lock& lock);
    Result Reconnect(const char* how);
    void SetPresence(const Lock&, bool present);
    void TakeReply(Lock&, const char* line);
    void FailPending(const Lock&);
    Result Data(const CommandLine& command, const char* keyword, uint8_t* out, size_t capacity, size_t* outLength);
    Result Features(uint8_t* out, size_t capacity, size_t* outLength);
    Result Remembered(const CommandLine& command, const char* keyword, const char* attribute, uint8_t* out, size_t capacity,
                      size_t* outLength);
    Result VerifyPinDirect(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength);
    int PollKeys(int64_t deadlineMs);

    const Port port_;
    const Options options_;
    std::mutex sendMutex_;      // one writer on the socket at a time
    std::mutex exchangeMutex_;  // one command in flight
    std::mutex mutex_;          // everything below
    std::condition_variable changed_;
    bool connected_ = false;
    bool ready_ = false;        // CARD answered and the line settled: commands may go
    int64_t connectedMs_ = 0;
    int64_t lastHeardMs_ = 0;   // the last line sent or received in the handshake
    int cardsUnanswered_ = 0;   // CARDs asked and not answered in the handshake
    bool cardAnswered_ = false;
    bool noReconnect_ = false;  // this client answered RECONNECT as an invalid command
    bool present_ = false;
    bool removalUnseen_ = false;
    uint64_t changes_ = 0;
    uint64_t waitedChanges_ = 0;
    bool stopWaiting_ = false;
    uint64_t connection_ = 0;   // which connection a pending command belongs to
    const char* pendingKeyword_ = nullptr;
    const char* pendingLine_ = nullptr;
    int64_t pendingSinceMs_ = 0;
    std::unique_lock<std::mutex> probe_{exchangeMutex_, std::defer_lock};
    bool replyReady_ = false;
    bool replyFailed_ = false;
    char reply_[kLineBuffer] = {};
    uint8_t atr_[kMaxAtr] = {};
    size_t atrLength_ = 0;
    Cache cache_;
};

} // namespace velmora::reader
