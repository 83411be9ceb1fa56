#include "link/qt_network.h"

#include <QHostAddress>
#include <QHostInfo>

#include <cstdio>
#include <cstring>

namespace velmora::qt {
namespace {

uint32_t NetworkOrder(const QHostAddress& address) {
    quint32 host = address.toIPv4Address();
    const unsigned char bytes[4] = {static_cast<unsigned char>(host >> 24),
                                    static_cast<unsigned char>(host >> 16),
                                    static_cast<unsigned char>(host >> 8),
                                    static_cast<unsigned char>(host)};
    uint32_t result = 0;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

QHostAddress FromNetworkOrder(uint32_t address) {
    unsigned char b[4];
    std::memcpy(b, &address, sizeof b);
    return QHostAddress((quint32{b[0]} << 24) | (quint32{b[1]} << 16) | (quint32{b[2]} << 8) | b[3]);
}

} // namespace

unsigned long SocketErrorCode(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return velmora::kSocketConnectionRefused;
    case QAbstractSocket::RemoteHostClosedError: return velmora::kSocketConnectionReset;
    case QAbstractSocket::HostNotFoundError: return velmora::kSocketHostNotFound;
    case QAbstractSocket::SocketTimeoutError: return velmora::kSocketTimedOut;
    case QAbstractSocket::NetworkError: return velmora::kSocketHostUnreachable;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10055;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    default: return velmora::kSocketConnectionReset;
    }
}

QtNetwork::QtNetwork(QObject* parent) : QObject(parent) {}

QtNetwork::~QtNetwork() { Close(); }

bool QtNetwork::StartLookupByName(const char* host) {
    lookupId_ = QHostInfo::lookupHost(QString::fromLatin1(host), this,
                                      [this](const QHostInfo& info) { LookupFinished(info.lookupId(), info); });
    return lookupId_ >= 0;
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

velmora::ConnectStart QtNetwork::StartConnect(uint32_t address, uint16_t port, unsigned long*) {
    Close();
    auto* socket = new QTcpSocket(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Queued: a connect that fails at once must still complete after the
    // link has finished starting it, as every completion does.
    connect(socket, &QTcpSocket::connected, this, &QtNetwork::SocketConnected, Qt::QueuedConnection);
    connect(socket, &QTcpSocket::errorOccurred, this, &QtNetwork::SocketError, Qt::QueuedConnection);
    connect(socket, &QTcpSocket::readyRead, this, &QtNetwork::SocketReadable, Qt::QueuedConnection);
    connect(socket, &QTcpSocket::disconnected, this, &QtNetwork::SocketClosed, Qt::QueuedConnection);
    socket_ = socket;
    connected_ = false;
    socket->connectToHost(FromNetworkOrder(address), port);
    return velmora::ConnectStart::Pending;
}

void QtNetwork::SocketConnected() {
    if (socket_ == nullptr || sender() != socket_) return;
    connected_ = true;
    velmora::LinkConnectDone(0);
}

void QtNetwork::SocketError(QAbstractSocket::SocketError error) {
    if (socket_ == nullptr || sender() != socket_) return;
    if (!connected_) {
        velmora::LinkConnectDone(SocketErrorCode(error));
    } else if (error == QAbstractSocket::RemoteHostClosedError) {
        SocketClosed();
    } else {
        // A read that cannot be served ends the connection with its text.
        unsigned long code = SocketErrorCode(error);
        velmora::LinkSocketEvent(false, code);
    }
}

void QtNetwork::SocketReadable() {
    if (socket_ == nullptr || sender() != socket_ || reading_) return;
    // Qt signals readiness once for everything buffered; the link takes at
    // most one command's worth per event, so offer it all, event by event.
    reading_ = true;
    while (socket_ != nullptr && socket_->bytesAvailable() > 0) velmora::LinkSocketEvent(false, 0);
    reading_ = false;
}

void QtNetwork::SocketClosed() {
    if (socket_ == nullptr || sender() != socket_ || !connected_) return;
    connected_ = false;
    velmora::LinkSocketEvent(true, 0);
}

long QtNetwork::Receive(char* buffer, size_t size, unsigned long* error) {
    if (socket_ == nullptr) {
        *error = velmora::kSocketNotConnected;
        return -1;
    }
    qint64 got = socket_->read(buffer, static_cast<qint64>(size));
    if (got < 0) {
        *error = SocketErrorCode(socket_->error());
        return -1;
    }
    return static_cast<long>(got);
}

bool QtNetwork::Send(const char* data, size_t length, unsigned long* error) {
    if (socket_ == nullptr || socket_->state() != QAbstractSocket::ConnectedState) {
        *error = velmora::kSocketNotConnected;
        return false;
    }
    // QTcpSocket keeps what the kernel does not take yet and sends it in
    // order; flush hands it over now instead of at the next loop turn.
    if (socket_->write(data, static_cast<qint64>(length)) != static_cast<qint64>(length)) {
        *error = SocketErrorCode(socket_->error());
        return false;
    }
    socket_->flush();
    return true;
}

void QtNetwork::Close() {
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    if (socket_ == nullptr) return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    connected_ = false;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

} // namespace velmora::qt
