// The server link's network over Qt: host lookups with QHostInfo, the
// connection with QTcpSocket. Completions reach the core on the
// user-interface thread through the event loop.
#pragma once

#include "link/link.h"

#include <QObject>
#include <QPointer>
#include <QHostInfo>
#include <QTcpSocket>

namespace velmora::qt {

class QtNetwork : public QObject, public velmora::Network {
    Q_OBJECT

public:
    explicit QtNetwork(QObject* parent = nullptr);
    ~QtNetwork() override;

    bool StartLookupByName(const char* host) override;
    bool StartLookupByAddress(uint32_t address) override;
    velmora::ConnectStart StartConnect(uint32_t address, uint16_t port,
                                       unsigned long* error) override;
    long Receive(char* buffer, size_t size, unsigned long* error) override;
    bool Send(const char* data, size_t length, unsigned long* error) override;
    void Close() override;

private:
    void LookupFinished(int id, const QHostInfo& info);
    void SocketConnected();
    void SocketError(QAbstractSocket::SocketError error);
    void SocketReadable();
    void SocketClosed();

    int lookupId_ = -1;
    QPointer<QTcpSocket> socket_;
    bool connected_ = false;
    bool reading_ = false;
};

// The Windows Sockets number for a Qt socket error.
unsigned long SocketErrorCode(QAbstractSocket::SocketError error);

} // namespace velmora::qt
