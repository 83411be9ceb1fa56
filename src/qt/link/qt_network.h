// The server link's network over Qt: host lookups with QHostInfo, the
// connection on a plain non-blocking socket watched by QSocketNotifier.
// Completions reach the core on the user-interface thread through the event
// loop. One StartConnect makes exactly one connect() call: the core owns the
// link's rules, so nothing here retries.
// The server's close behind a read is seen with recv(MSG_PEEK | MSG_DONTWAIT);
// keepalive is SO_KEEPALIVE with TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT and
// TCP_USER_TIMEOUT, in whole seconds where the kernel counts so.
#pragma once

#include "link/link.h"
#include "link/send_queue.h"

#include <QAbstractSocket>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>

#include <cstddef>
#include <cstdint>

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
    bool PeerHasEnded() override;
    void StartKeepalive(const velmora::KeepaliveTimers& timers) override;

private:
    void LookupFinished(int id, const QHostInfo& info);
    void ConnectFinished(unsigned long error);
    void Readable();
    void Writable();
    bool Flush(unsigned long* error);
    bool StartUnixLookup(const char* host, const char* path);
    // Each makes fd_ and starts connect(): its result, or -2 without a socket.
    int ConnectUnix();
    int ConnectTcp(uint32_t address, uint16_t port);

    int lookupId_ = -1;
    char unixPath_[108] = {};  // the last lookup named a local socket ("unix:/path"); sun_path's size
    int fd_ = -1;
    uint32_t generation_ = 0;  // tells completions of a closed socket apart
    bool connected_ = false;
    QSocketNotifier* readNotifier_ = nullptr;  // children of this network
    QSocketNotifier* writeNotifier_ = nullptr;
    // One read's bytes, taken by the readiness handler and handed to the
    // link's Receive; a read error waits there the same way.
    char received_[velmora::kPacketSize];
    size_t receivedAt_ = 0;
    size_t receivedSize_ = 0;
    unsigned long receiveError_ = 0;
    velmora::SendQueue backlog_;
};

// The Windows Sockets number for an errno value of a socket call.
unsigned long SocketErrorCode(int error);
// The Windows Sockets number for a Qt socket error.
unsigned long SocketErrorCode(QAbstractSocket::SocketError error);

} // namespace velmora::qt
