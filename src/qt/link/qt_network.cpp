#include "link/qt_network.h"

#include "link/address.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace velmora::qt {
namespace {

// A flood of full reads is served in turns, so that the window still gets
// its share of the event loop.
constexpr int kReadsPerTurn = 64;
constexpr size_t kReadSize = velmora::kPacketSize - 1;
constexpr unsigned long kSocketNoBufferSpace = 10055;

uint32_t NetworkOrder(const QHostAddress& address) {
    quint32 host = address.toIPv4Address();
    return htonl(host);
}

QHostAddress FromNetworkOrder(uint32_t address) { return QHostAddress(ntohl(address)); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Close may run inside the notifier's own signal: it goes later (or with
// its parent, the network), and quiet before its descriptor is closed.
void Retire(QSocketNotifier** notifier) {
    if (*notifier == nullptr) return;
    (*notifier)->setEnabled(false);
    (*notifier)->disconnect();
    (*notifier)->deleteLater();
    *notifier = nullptr;
}

} // namespace

unsigned long SocketErrorCode(int error) {
    switch (error) {
    case ECONNREFUSED:
    case ENOENT: return velmora::kSocketConnectionRefused;  // a local socket nobody has made
    case ECONNRESET:
    case EPIPE: return velmora::kSocketConnectionReset;
    case ETIMEDOUT: return velmora::kSocketTimedOut;
    case EHOSTUNREACH:
    case ENETUNREACH: return velmora::kSocketHostUnreachable;
    case ENOTCONN: return velmora::kSocketNotConnected;
    case EACCES:
    case EPERM: return 10013;
    case ENOBUFS:
    case ENOMEM: return kSocketNoBufferSpace;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case EMFILE:
    case ENFILE: return 10024;
    default: return velmora::kSocketConnectionReset;
    }
}

unsigned long SocketErrorCode(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return velmora::kSocketConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError: return velmora::kSocketConnectionReset;
    case QAbstractSocket::HostNotFoundError: return velmora::kSocketHostNotFound;
    case QAbstractSocket::SocketTimeoutError: return velmora::kSocketTimedOut;
    case QAbstractSocket::NetworkError: return velmora::kSocketHostUnreachable;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return kSocketNoBufferSpace;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    default: return velmora::kSocketConnectionReset;
    }
}

QtNetwork::QtNetwork(QObject* parent) : QObject(parent) {}

QtNetwork::~QtNetwork() { Close(); }

bool QtNetwork::StartLookupByName(const char* host) {
    unixPath_[0] = '\0';
    if (const char* path = velmora::UnixSocketPath(host)) return StartUnixLookup(host, path);
    lookupId_ = QHostInfo::lookupHost(QString::fromLatin1(host), this,
                                      [this](const QHostInfo& info) { LookupFinished(info.lookupId(), info); });
    return lookupId_ >= 0;
}

// A local socket needs no lookup; it completes later all the same, as the
// link expects of every lookup. A path sun_path cannot hold is refused, as a
// cut one would be another socket.
bool QtNetwork::StartUnixLookup(const char* host, const char* path) {
    if (std::strlen(path) >= sizeof unixPath_) return false;
    std::snprintf(unixPath_, sizeof unixPath_, "%s", path);
    velmora::HostEntry entry{};
    std::snprintf(entry.name, sizeof entry.name, "%s", host);
    const uint32_t generation = generation_;
    QMetaObject::invokeMethod(
        this, [this, generation, entry] {
            if (generation == generation_ && unixPath_[0] != '\0') velmora::LinkLookupDone(0, &entry);
        },
        Qt::QueuedConnection);
    return true;
}

int QtNetwork::ConnectUnix() {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return -2;
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    std::memcpy(peer.sun_path, unixPath_, sizeof peer.sun_path);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

bool QtNetwork::StartLookupByAddress(uint32_t address) {
    return StartLookupByName(FromNetworkOrder(address).toString().toLatin1().constData());
}

void QtNetwork::LookupFinished(int id, const QHostInfo& info) {
    if (id != lookupId_) return;  // a lookup the link has given up on
    lookupId_ = -1;
    velmora::HostEntry entry{};
    bool found = false;
    for (const QHostAddress& address : info.addresses()) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol) continue;
        entry.address = NetworkOrder(address);
        found = true;
        break;
    }
    if (info.error() != QHostInfo::NoError || !found) {
        velmora::LinkLookupDone(velmora::kSocketHostNotFound, nullptr);
        return;
    }
    std::snprintf(entry.name, sizeof entry.name, "%s", info.hostName().toLatin1().constData());
    velmora::LinkLookupDone(0, &entry);
}

int QtNetwork::ConnectTcp(uint32_t address, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd_ < 0) return -2;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

velmora::ConnectStart QtNetwork::StartConnect(uint32_t address, uint16_t port, unsigned long* error) {
    Close();
    int result = unixPath_[0] != '\0' ? ConnectUnix() : ConnectTcp(address, port);
    if (result == -2) {
        *error = SocketErrorCode(errno);
        return velmora::ConnectStart::SocketFailed;
    }
    const uint32_t generation = generation_;
    if (result != 0 && errno != EINPROGRESS) {
        // A connect that fails at once still completes after the link has
        // finished starting it, as every completion does.
        unsigned long code = SocketErrorCode(errno);
        QMetaObject::invokeMethod(
            this, [this, generation, code] {
                if (generation == generation_) ConnectFinished(code);
            },
            Qt::QueuedConnection);
        return velmora::ConnectStart::Pending;
    }
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    readNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, [this] { Readable(); });
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { Writable(); });
    return velmora::ConnectStart::Pending;
}

void QtNetwork::ConnectFinished(unsigned long error) {
    if (error == 0) {
        connected_ = true;
        writeNotifier_->setEnabled(false);
        readNotifier_->setEnabled(true);
    }
    velmora::LinkConnectDone(error);
}

void QtNetwork::Writable() {
    if (fd_ < 0) return;
    if (!connected_) {
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) pending = errno;
        ConnectFinished(pending != 0 ? SocketErrorCode(pending) : 0);
        return;
    }
    unsigned long error = 0;
    if (Flush(&error)) return;
    // Reported the way a failed read is: the link ends with the error's text.
    receiveError_ = error;
    velmora::LinkSocketEvent(false, 0);
}

// Sends what the backlog holds; the write notifier stays on while some is left.
bool QtNetwork::Flush(unsigned long* error) {
    while (!backlog_.Empty()) {
        ssize_t sent = ::send(fd_, backlog_.Data(), backlog_.Size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (WouldBlock(errno)) break;
            *error = SocketErrorCode(errno);
            return false;
        }
        backlog_.Consume(static_cast<size_t>(sent));
    }
    writeNotifier_->setEnabled(!backlog_.Empty());
    return true;
}

void QtNetwork::Readable() {
    const uint32_t generation = generation_;
    for (int turn = 0; turn < kReadsPerTurn && fd_ >= 0 && generation == generation_; ++turn) {
        if (receivedAt_ == receivedSize_ && receiveError_ == 0) {
            ssize_t got = ::recv(fd_, received_, kReadSize, 0);
            if (got < 0 && WouldBlock(errno)) return;
            if (got == 0 || (got < 0 && errno == ECONNRESET)) {
                connected_ = false;
                velmora::LinkSocketEvent(true, 0);
                return;
            }
            if (got < 0) {
                receiveError_ = SocketErrorCode(errno);
            } else {
                receivedAt_ = 0;
                receivedSize_ = static_cast<size_t>(got);
            }
        }
        // A full read may have left more behind; anything shorter emptied
        // the socket for now, and the notifier tells when more comes.
        const bool full = receivedSize_ - receivedAt_ == kReadSize;
        velmora::LinkSocketEvent(false, 0);
        if (!full) return;
    }
}

long QtNetwork::Receive(char* buffer, size_t size, unsigned long* error) {
    if (receiveError_ != 0) {
        *error = receiveError_;
        receiveError_ = 0;
        return -1;
    }
    if (fd_ < 0) {
        *error = velmora::kSocketNotConnected;
        return -1;
    }
    size_t held = receivedSize_ - receivedAt_;
    if (held == 0) {
        ssize_t got = ::recv(fd_, buffer, size, 0);
        if (got >= 0) return static_cast<long>(got);
        *error = WouldBlock(errno) ? velmora::kSocketWouldBlock : SocketErrorCode(errno);
        return -1;
    }
    size_t n = held < size ? held : size;
    std::memcpy(buffer, received_ + receivedAt_, n);
    receivedAt_ += n;
    if (receivedAt_ == receivedSize_) receivedAt_ = receivedSize_ = 0;
    return static_cast<long>(n);
}

bool QtNetwork::Send(const char* data, size_t length, unsigned long* error) {
    if (fd_ < 0 || !connected_) {
        *error = velmora::kSocketNotConnected;
        return false;
    }
    size_t done = 0;
    if (backlog_.Empty()) {
        ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (sent < 0 && !WouldBlock(errno)) {
            *error = SocketErrorCode(errno);
            return false;
        }
        done = sent < 0 ? 0 : static_cast<size_t>(sent);
    }
    if (done == length) return true;
    // What the kernel did not take goes after what waits already, in order.
    if (!backlog_.Append(data + done, length - done)) {
        *error = kSocketNoBufferSpace;
        return false;
    }
    writeNotifier_->setEnabled(true);
    return true;
}

bool QtNetwork::PeerHasEnded() {
    if (fd_ < 0) return true;
    if (receivedAt_ < receivedSize_) return false;  // more of the server's bytes first
    if (receiveError_ != 0) return true;
    char byte = 0;
    ssize_t got = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) return false;
    if (got == 0) return true;  // the server's FIN
    return !WouldBlock(errno);  // a reset or a dead path
}

namespace {

// The kernel counts keepalive in whole seconds, at least one.
int WholeSeconds(uint32_t milliseconds) {
    uint64_t seconds = (static_cast<uint64_t>(milliseconds) + 999) / 1000;
    return seconds < 1 ? 1 : static_cast<int>(seconds);
}

int Clamped(uint32_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int>(value); }

} // namespace

void QtNetwork::StartKeepalive(const velmora::KeepaliveTimers& timers) {
    if (fd_ < 0) return;
    // Unacknowledged data time-out too: keepalive alone waits while a reply
    // is being retransmitted.
    const int options[][3] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1},
        {IPPROTO_TCP, TCP_KEEPIDLE, WholeSeconds(timers.idleMs)},
        {IPPROTO_TCP, TCP_KEEPINTVL, WholeSeconds(timers.intervalMs)},
        {IPPROTO_TCP, TCP_KEEPCNT, Clamped(timers.probes < 1 ? 1 : timers.probes)},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, Clamped(timers.userTimeoutMs)},
    };
    for (const auto& option : options) {
        int value = option[2];
        ::setsockopt(fd_, option[0], option[1], &value, sizeof value);
    }
}

void QtNetwork::Close() {
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    ++generation_;
    Retire(&readNotifier_);
    Retire(&writeNotifier_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
    receivedAt_ = receivedSize_ = 0;
    receiveError_ = 0;
    backlog_.Clear();
}

} // namespace velmora::qt
