// The network side of one reader: the listening socket, the one client
// connection, and the thread that reads it. Lines go to the Session; the
// Session reaches the socket back through its Port.
#pragma once

#include "config.h"
#include "session.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace velmora::reader {

// "uid 4294967295 pid 2147483647" or a dotted address with its port.
constexpr size_t kPeerNameSize = 48;

// A line for pcscd's log (its own log function when loaded by pcscd,
// standard error otherwise).
void WriteLog(int level, const char* text);

class Endpoint {
public:
    explicit Endpoint(const Config& config);
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
    ~Endpoint() { Stop(); }

    bool Start();
    void Stop();
    Session& Reader() { return session_; }

private:
    static bool Send(void* context, const char* data, size_t length);
    static void HangUp(void* context);
    static void Log(void* context, int level, const char* text);
    void Run();
    bool Listen();
    int ListenTcp();
    int ListenUnix();
    void CloseListener();
    void Accept();
    bool TcpPeerAllowed(int fd, char* name, size_t size);
    bool UnixPeerAllowed(int fd, char* name, size_t size);
    bool UnixSocket() const;
    void Refuse(int fd, const char* name, const char* why);
    void Take(int fd, const char* name);
    void SetKeepalive(int fd);
    void Quicken(int fd);
    bool LooksDead();
    int CandidateDueMs();
    void CheckCandidate();
    void DropCandidate();
    void Read();
    void Split(const char* chunk, size_t length);
    void EndConnection();
    void Wake();

    const Config config_;
    char name_[kUnixPathSize + 8] = {};
    Session session_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    int wake_[2] = {-1, -1};
    std::mutex wakeMutex_;  // wake_[1] against a late HangUp from pcscd's threads while Stop closes it
    int listen_ = -1;
    unsigned long listenInode_ = 0;  // the Unix socket file this endpoint made, removed at its end
    std::mutex connectionMutex_;  // conn_ against senders on pcscd's threads
    int conn_ = -1;
    // A client that knocked while one is connected, kept until the
    // connected one has answered STATE or failed to.
    int candidate_ = -1;
    char candidateName_[kPeerNameSize] = {};
    int64_t candidateSinceMs_ = 0;
    bool probing_ = false;
    bool quickened_ = false;  // the connection's keepalive shortened to judge it
    char line_[kLineBuffer] = {};
    size_t used_ = 0;
    bool discarding_ = false;  // inside a line past the limit
    int lastListenError_ = 0;
};

} // namespace velmora::reader
