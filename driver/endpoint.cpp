#include "endpoint.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace velmora::reader {
namespace {

constexpr int kSendTimeoutSeconds = 5;
constexpr int kListenRetryMs = 1000;
constexpr int kAcceptRetryMs = 100;
constexpr size_t kReadChunk = 4096;
constexpr int kReadChunksPerRound = 16;  // far above what a client sends unasked

using LogFunction = void (*)(int priority, const char* format, ...);

LogFunction PcscdLog() {
    static LogFunction function = reinterpret_cast<LogFunction>(dlsym(RTLD_DEFAULT, "log_msg"));
    return function;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Dotted(uint32_t address, uint16_t port, char* text, size_t size) {
    std::snprintf(text, size, "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF, port);
}

bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

} // namespace

void WriteLog(int level, const char* text) {
    LogFunction log = PcscdLog();
    if (log != nullptr) {
        log(level, "%s", text);
    } else if (level >= kLogError) {
        std::fprintf(stderr, "%s\n", text);
    }
}

Endpoint::Endpoint(const Config& config)
    : config_(config), session_(Port{this, &Endpoint::Send, &Endpoint::HangUp, &Endpoint::Log}, config.options) {
    if (config.unixPath[0] != '\0') {
        std::snprintf(name_, sizeof name_, "unix:%s", config.unixPath);
        return;
    }
    char address[24];
    Dotted(config.address, config.port, address, sizeof address);
    std::snprintf(name_, sizeof name_, "%s", address);
}

void Endpoint::Log(void* context, int level, const char* text) {
    char line[kLineBuffer + 300];
    std::snprintf(line, sizeof line, "velmora-reader %s: %s", static_cast<Endpoint*>(context)->name_, text);
    WriteLog(level, line);
}

bool Endpoint::Send(void* context, const char* data, size_t length) {
    auto* self = static_cast<Endpoint*>(context);
    std::lock_guard<std::mutex> lock(self->connectionMutex_);
    while (length > 0 && self->conn_ >= 0) {
        ssize_t sent = send(self->conn_, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return length == 0;
}

void Endpoint::HangUp(void* context) {
    auto* self = static_cast<Endpoint*>(context);
    self->hangUp_ = true;
    self->Wake();
}

void Endpoint::Wake() {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    if (wake_[1] < 0) return;  // stopped: a descriptor number closed may be another file's by now
    char byte = 1;
    ssize_t written = write(wake_[1], &byte, 1);
    (void)written;  // a full pipe wakes the thread all the same
}

bool Endpoint::Start() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    thread_ = std::thread(&Endpoint::Run, this);
    return true;
}

void Endpoint::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
    thread_.join();
    session_.StopWaiting();
    std::lock_guard<std::mutex> lock(wakeMutex_);
    close(wake_[0]);
    close(wake_[1]);
    wake_[0] = wake_[1] = -1;
}

int Endpoint::ListenTcp() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.port);
    address.sin_addr.s_addr = htonl(config_.address);
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 4) == 0;
    if (ok) return fd;
    int error = errno;
    if (fd >= 0) close(fd);
    errno = error;
    return -1;
}

// A socket file left by an earlier run is replaced; any other file is not.
// The mode is set before listen(), so nobody connects while the file still
// has the umask's mode.
int Endpoint::ListenUnix() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, config_.unixPath, sizeof address.sun_path);
    struct stat old {};
    if (lstat(config_.unixPath, &old) == 0 && S_ISSOCK(old.st_mode)) unlink(config_.unixPath);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    struct stat made {};
    ok = ok && chmod(config_.unixPath, 0600) == 0 && lstat(config_.unixPath, &made) == 0 && listen(fd, 4) == 0;
    if (ok) {
        listenInode_ = made.st_ino;
        return fd;
    }
    int error = errno;
    if (fd >= 0) close(fd);
    errno = error;
    return -1;
}

bool Endpoint::Listen() {
    bool unixSocket = config_.unixPath[0] != '\0';
    int fd = unixSocket ? ListenUnix() : ListenTcp();
    if (fd < 0) {
        int error = errno;
        if (error != lastListenError_) {
            char text[200];
            std::snprintf(text, sizeof text, "cannot listen: %s; trying again every second", std::strerror(error));
            Log(this, kLogError, text);
        }
        lastListenError_ = error;
        return false;
    }
    listen_ = fd;
    lastListenError_ = 0;
    Log(this, kLogInfo, "listening");
    // pcscd has no warning level; the error level is the one its default log shows.
    if (!unixSocket) {
        Log(this, kLogError,
            "warning: listening on TCP, where every local user can connect and present the reader; "
            "on a server with several users, listen on unix:PATH in each user's own pcscd");
    }
    return true;
}

void Endpoint::CloseListener() {
    if (listen_ < 0) return;
    close(listen_);
    listen_ = -1;
    struct stat now {};
    if (listenInode_ != 0 && lstat(config_.unixPath, &now) == 0 && now.st_ino == listenInode_) {
        unlink(config_.unixPath);
    }
    listenInode_ = 0;
}

bool Endpoint::TcpPeerAllowed(int fd, char* name, size_t size) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
    Dotted(ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), name, size);
    if (PeerAllowed(config_, ntohl(peer.sin_addr.s_addr))) return true;
    char text[120];
    std::snprintf(text, sizeof text, "connection from %s refused: not an allowed peer", name);
    Log(this, kLogError, text);
    return false;
}

// Only the user this pcscd runs as may present its reader: the socket's
// mode keeps others out of the file, the peer's credentials out of a
// descriptor passed on or a mode changed by hand.
bool Endpoint::UnixPeerAllowed(int fd, char* name, size_t size) {
    ucred peer{};
    socklen_t length = sizeof peer;
    bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer;
    std::snprintf(name, size, "uid %u pid %d", known ? static_cast<unsigned>(peer.uid) : 0u, known ? peer.pid : 0);
    if (known && peer.uid == geteuid()) return true;
    char text[200];
    if (known) {
        std::snprintf(text, sizeof text, "connection from uid %u (pid %d) refused: not this reader's user (uid %u)",
                      static_cast<unsigned>(peer.uid), peer.pid, static_cast<unsigned>(geteuid()));
    } else {
        std::snprintf(text, sizeof text, "connection refused: the peer's credentials cannot be read: %s",
                      std::strerror(errno));
    }
    Log(this, kLogError, text);
    return false;
}

void Endpoint::Refuse(int fd, const char* name, const char* why) {
    char text[160];
    std::snprintf(text, sizeof text, "connection from %s refused: %s", name, why);
    Log(this, kLogError, text);
    close(fd);
}

// Keepalive finds a path that died silently while idle, the user time-out
// one that dies with a command unacknowledged; both within the same time.
void Endpoint::SetKeepalive(int fd) {
    if (UnixSocket()) return;  // a local peer's end is always seen
    int on = 1;
    int idle = config_.keepIdleS;
    int interval = config_.keepIntervalS;
    int count = config_.keepCount;
    unsigned userTimeoutMs = static_cast<unsigned>(idle + interval * count) * 1000u;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

// A client busy with a command cannot be asked STATE: its system is asked
// instead, by keepalive probes at once and a user time-out of the probe time.
void Endpoint::Quicken(int fd) {
    if (UnixSocket()) return;
    int second = 1;
    int count = 3;
    unsigned userTimeoutMs = static_cast<unsigned>(config_.probeMs);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &second, sizeof second);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &second, sizeof second);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

bool Endpoint::UnixSocket() const { return config_.unixPath[0] != '\0'; }

void Endpoint::Take(int fd, const char* name) {
    bool unixSocket = UnixSocket();
    int on = 1;
    timeval timeout{kSendTimeoutSeconds, 0};
    if (!unixSocket) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    SetKeepalive(fd);
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        conn_ = fd;
    }
    used_ = 0;
    discarding_ = false;
    hangUp_ = false;
    session_.Connected(name);
}

// While a command is in flight STATE cannot be asked. The connection then
// counts as dead when what was sent is being retransmitted and nothing has
// been acknowledged for the probe time: a live client's system acknowledges
// within a round trip, even while the client itself is busy or stopped.
bool Endpoint::LooksDead() {
    if (UnixSocket()) return false;  // a local peer that died has closed its end
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(conn_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return true;
    if (info.tcpi_state != TCP_ESTABLISHED) return true;
    return info.tcpi_unacked > 0 && info.tcpi_retransmits > 0 &&
           info.tcpi_last_ack_recv >= static_cast<uint32_t>(config_.probeMs);
}

void Endpoint::Accept() {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors or memory the knock stays pending and the
        // listener readable: a pause, not a spin, until some are freed.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            pollfd wake{wake_[0], POLLIN, 0};
            poll(&wake, 1, kAcceptRetryMs);
        }
        return;
    }
    char name[kPeerNameSize];
    bool allowed = UnixSocket() ? UnixPeerAllowed(fd, name, sizeof name) : TcpPeerAllowed(fd, name, sizeof name);
    if (!allowed) {
        close(fd);
        return;
    }
    if (conn_ < 0) return Take(fd, name);
    if (candidate_ >= 0) return Refuse(fd, name, "a client is connected");
    // A second client: the first keeps its place only if it is alive.
    candidate_ = fd;
    std::snprintf(candidateName_, sizeof candidateName_, "%s", name);
    candidateSinceMs_ = NowMs();
    CheckCandidate();
}

// Until the connected client has been judged, the candidate is looked at
// again at least this often.
int Endpoint::CandidateDueMs() {
    constexpr int kRecheckMs = 100;
    if (candidate_ < 0) return -1;
    // Keepalive needs a second to start and the probe time to give up.
    const int window = probing_ ? config_.probeMs : 2 * config_.probeMs + 1000;
    const int64_t left = window - (NowMs() - candidateSinceMs_);
    if (left <= 0) return 0;
    return probing_ || left < kRecheckMs ? static_cast<int>(left) : kRecheckMs;
}

void Endpoint::DropCandidate() {
    if (probing_) session_.EndProbe();
    if (quickened_ && conn_ >= 0) SetKeepalive(conn_);
    quickened_ = false;
    probing_ = false;
    candidate_ = -1;
}

void Endpoint::CheckCandidate() {
    if (candidate_ < 0) return;
    const int fd = candidate_;
    char name[kPeerNameSize];
    std::snprintf(name, sizeof name, "%s", candidateName_);
    char text[200];
    if (conn_ < 0) {
        DropCandidate();
        return Take(fd, name);
    }
    if (probing_ && session_.ProbeAnswered()) {
        DropCandidate();
        return Refuse(fd, name, "a client is connected");
    }
    if (!probing_ && session_.BeginProbe()) {
        probing_ = true;
        candidateSinceMs_ = NowMs();  // STATE gets the whole probe time
        return;
    }
    const bool due = CandidateDueMs() == 0;
    if (!probing_ && !LooksDead()) {
        if (!quickened_) Quicken(conn_);
        quickened_ = true;
        if (!due) return;
        DropCandidate();
        return Refuse(fd, name, "a client is connected and busy with a command");
    }
    if (probing_ && !due) return;
    std::snprintf(text, sizeof text, "the connected client %s within %d ms: connection ended, %s taken",
                  probing_ ? "did not answer STATE" : "acknowledged nothing", config_.probeMs, name);
    Log(this, kLogError, text);
    EndConnection();
    DropCandidate();
    Take(fd, name);
}

void Endpoint::EndConnection() {
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        if (conn_ < 0) return;
        close(conn_);
        conn_ = -1;
    }
    session_.Disconnected();
}

// Reads all there is, so a client's last line and its end are taken in
// the same round, before a new connection is looked at; but no more than a
// bounded amount, so a peer that never pauses cannot keep the thread from
// a stop, a hang-up or the clock.
void Endpoint::Read() {
    char chunk[kReadChunk];
    for (int round = 0; round < kReadChunksPerRound; ++round) {
        ssize_t got = recv(conn_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) {
            if (got < 0) {  // keepalive or the user time-out found the path dead, or a reset
                char text[120];
                std::snprintf(text, sizeof text, "connection lost: %s", std::strerror(errno));
                Log(this, kLogError, text);
            }
            EndConnection();
            return;
        }
        Split(chunk, static_cast<size_t>(got));
    }
}

void Endpoint::Split(const char* chunk, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = chunk[i];
        if (c == '\n') {
            if (!discarding_) {
                while (used_ > 0 && IsTrailingSpace(line_[used_ - 1])) --used_;
                line_[used_] = '\0';
                session_.Received(line_);
            }
            used_ = 0;
            discarding_ = false;
        } else if (discarding_) {
            continue;
        } else if (used_ == kLineBuffer - 1) {
            discarding_ = true;
            session_.Overlong();
        } else {
            line_[used_++] = c;
        }
    }
}

void Endpoint::Run() {
    while (!stop_) {
        if (listen_ < 0 && !Listen()) {
            pollfd wake{wake_[0], POLLIN, 0};
            poll(&wake, 1, kListenRetryMs);
            continue;  // without a listener the poll below may never return
        }
        int conn = conn_;  // written only on this thread
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}, {conn, POLLIN, 0}};
        int due = session_.Tick();
        int probeDue = CandidateDueMs();
        if (probeDue >= 0 && (due < 0 || probeDue < due)) due = probeDue;
        int ready = poll(fds, conn >= 0 ? 3 : 2, due);
        CheckCandidate();
        if (ready < 0) continue;
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
            if (hangUp_.exchange(false)) EndConnection();
            CheckCandidate();
            continue;
        }
        // The old connection's end first: a client that closes and connects
        // again at once is then not taken for a second client.
        if (conn >= 0 && fds[2].revents != 0) Read();
        CheckCandidate();
        if (listen_ >= 0 && (fds[1].revents & POLLIN) != 0) Accept();
    }
    if (candidate_ >= 0) close(candidate_);
    DropCandidate();
    EndConnection();
    CloseListener();
}

} // namespace velmora::reader
