// The server link's network over Qt: host lookups with QHostInfo, the
// connection on a plain non-blocking socket watched by QSocketNotifier.
// Completions reach the core on the user-interface thread through the event
// loop. One StartConnect makes exactly one connect() call: the core owns the
// link's rules, so nothing here retries.
#pragma once

#include "link/link.h"

#include <QAbstractSocket>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>

#include <cstddef>
#include <cstdint>

namespace velmora::qt {

// Bytes the socket did not take yet, kept in order until it is writable.
class SendBacklog {
public:
    // Room for a few dozen replies; a peer that takes less than that for so
    // long is treated as gone.
    static constexpr size_t kCapacity = 16384;

    bool Empty() const { return size_ == 0; }
    size_t Size() const { return size_; }
    const char* Data() const { return buffer_ + start_; }
    // False, with nothing added, when the bytes do not fit.
    bool Append(const char* data, size_t length);
    void Consume(size_t length);
    void Clear() { start_ = size_ = 0; }

private:
    char buffer_[kCapacity];
    size_t start_ = 0;
    size_t size_ = 0;
};

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
    void ConnectFinished(unsigned long error);
    void Readable();
    void Writable();
    bool Flush(unsigned long* error);

    int lookupId_ = -1;
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
    SendBacklog backlog_;
};

// The Windows Sockets number for an errno value of a socket call.
unsigned long SocketErrorCode(int error);
// The Windows Sockets number for a Qt socket error.
unsigned long SocketErrorCode(QAbstractSocket::SocketError error);

} // namespace velmora::qt
