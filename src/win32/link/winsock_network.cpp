#include "link/winsock_network.h"

#include <mstcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace velmora::win32 {
namespace {

// Windows 10's socket options, which older SDK headers do not name.
constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT
constexpr int kTcpKeepaliveCount = 16;       // TCP_KEEPCNT
// Without TCP_KEEPCNT, Windows sends ten probes before it gives up.
constexpr uint32_t kFixedProbes = 10;
constexpr uint32_t kMinimumStepMs = 1000;

} // namespace

void WinsockNetwork::SetWindow(HWND window, UINT resolved, UINT connected, UINT socketEvent) {
    window_ = window;
    resolvedMessage_ = resolved;
    connectedMessage_ = connected;
    socketMessage_ = socketEvent;
}

bool WinsockNetwork::StartLookupByName(const char* host) {
    lookup_ = WSAAsyncGetHostByName(window_, resolvedMessage_, host, hostBuffer_, sizeof hostBuffer_);
    return lookup_ != nullptr;
}

bool WinsockNetwork::StartLookupByAddress(uint32_t address) {
    lookup_ = WSAAsyncGetHostByAddr(window_, resolvedMessage_, reinterpret_cast<const char*>(&address),
                                    sizeof address, AF_INET, hostBuffer_, sizeof hostBuffer_);
    return lookup_ != nullptr;
}

void WinsockNetwork::OnLookupDone(WPARAM wParam, LPARAM lParam) {
    if (lookup_ == nullptr || reinterpret_cast<HANDLE>(wParam) != lookup_) return;
    lookup_ = nullptr;
    unsigned long error = WSAGETASYNCERROR(lParam);
    velmora::HostEntry entry{};
    if (error == 0) {
        const auto* host = reinterpret_cast<const hostent*>(hostBuffer_);
        if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr) {
            error = WSANO_DATA;
        } else {
            std::memcpy(&entry.address, host->h_addr_list[0], sizeof entry.address);
            std::snprintf(entry.name, sizeof entry.name, "%s", host->h_name != nullptr ? host->h_name : "");
        }
    }
    velmora::LinkLookupDone(error, error == 0 ? &entry : nullptr);
}

velmora::ConnectStart WinsockNetwork::StartConnect(uint32_t address, uint16_t port, unsigned long* error) {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    pending_.Clear();
    readError_ = sendError_ = 0;
    socket_ = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
    if (socket_ == INVALID_SOCKET) return velmora::ConnectStart::SocketFailed;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = address;
    // Selecting first also makes the socket non-blocking.
    if (WSAAsyncSelect(socket_, window_, connectedMessage_, FD_CONNECT) != 0) {
        *error = static_cast<unsigned long>(WSAGetLastError());
        return velmora::ConnectStart::Failed;
    }
    if (WSAConnect(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof server, nullptr, nullptr,
                   nullptr, nullptr) == 0) {
        return velmora::ConnectStart::Pending;  // FD_CONNECT still follows
    }
    int last = WSAGetLastError();
    if (last == WSAEWOULDBLOCK) return velmora::ConnectStart::Pending;
    *error = static_cast<unsigned long>(last);
    return velmora::ConnectStart::Failed;
}

void WinsockNetwork::OnConnectDone(WPARAM wParam, LPARAM lParam) {
    if (socket_ == INVALID_SOCKET || static_cast<SOCKET>(wParam) != socket_) return;
    if (WSAGETSELECTEVENT(lParam) != FD_CONNECT) return;
    unsigned long error = WSAGETSELECTERROR(lParam);
    if (error == 0 && WSAAsyncSelect(socket_, window_, socketMessage_, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        error = static_cast<unsigned long>(WSAGetLastError());
    }
    velmora::LinkConnectDone(error);
}

bool WinsockNetwork::DataWaiting() {
    u_long waiting = 0;
    return ioctlsocket(socket_, FIONREAD, &waiting) != 0 || waiting > 0;
}

void WinsockNetwork::OnSocketEvent(WPARAM wParam, LPARAM lParam) {
    if (socket_ == INVALID_SOCKET || static_cast<SOCKET>(wParam) != socket_) return;
    unsigned long error = WSAGETSELECTERROR(lParam);
    switch (WSAGETSELECTEVENT(lParam)) {
    case FD_WRITE:
        // Room again for what an earlier send left over; not the link's event.
        if (error == 0 && Flush(&error)) return;
        sendError_ = error;
        velmora::LinkSocketEvent(false, error);  // its read reports the failure
        return;
    case FD_CLOSE:
        velmora::LinkSocketEvent(true, error);
        return;
    case FD_READ:
        // Winsock may announce data an earlier read already took; such a
        // notice is no read and must not end the connection.
        if (error == 0 && !DataWaiting()) return;
        readError_ = error;
        velmora::LinkSocketEvent(false, error);
        return;
    default:
        return;
    }
}

long WinsockNetwork::Receive(char* buffer, size_t size, unsigned long* error) {
    if (socket_ == INVALID_SOCKET) {
        *error = WSAENOTCONN;
        return -1;
    }
    if (sendError_ != 0 || readError_ != 0) {
        *error = sendError_ != 0 ? sendError_ : readError_;
        return -1;
    }
    int wanted = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    int got = recv(socket_, buffer, wanted, 0);
    if (got == SOCKET_ERROR) {
        *error = static_cast<unsigned long>(WSAGetLastError());
        return -1;
    }
    return got;
}

bool WinsockNetwork::Flush(unsigned long* error) {
    while (!pending_.Empty()) {
        size_t size = pending_.Size();
        int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        int sent = send(socket_, pending_.Data(), chunk, 0);
        if (sent == SOCKET_ERROR) {
            int last = WSAGetLastError();
            if (last == WSAEWOULDBLOCK) return true;  // FD_WRITE comes again
            *error = static_cast<unsigned long>(last);
            return false;
        }
        pending_.Consume(static_cast<size_t>(sent));
    }
    return true;
}

bool WinsockNetwork::Send(const char* data, size_t length, unsigned long* error) {
    if (socket_ == INVALID_SOCKET) {
        *error = WSAENOTCONN;
        return false;
    }
    if (sendError_ != 0) {
        *error = sendError_;
        return false;
    }
    // Behind bytes still waiting, these wait too, so the order holds.
    if (!pending_.Append(data, length)) {
        *error = WSAENOBUFS;
        return false;
    }
    if (!Flush(error)) {
        sendError_ = *error;
        return false;
    }
    return true;
}

bool WinsockNetwork::PeerHasEnded() {
    if (socket_ == INVALID_SOCKET) return true;
    u_long waiting = 0;
    if (ioctlsocket(socket_, FIONREAD, &waiting) == 0 && waiting > 0) return false;
    // The socket is non-blocking (WSAAsyncSelect): the peek never waits.
    char byte = 0;
    int got = recv(socket_, &byte, 1, MSG_PEEK);
    if (got > 0) return false;
    if (got == 0) return true;  // the server's FIN
    return WSAGetLastError() != WSAEWOULDBLOCK;  // a reset or a dead path
}

void WinsockNetwork::StartKeepalive(const velmora::KeepaliveTimers& timers) {
    if (socket_ == INVALID_SOCKET) return;
    BOOL on = TRUE;
    setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    DWORD probes = timers.probes < 1 ? 1 : timers.probes;
    bool counted = setsockopt(socket_, IPPROTO_TCP, kTcpKeepaliveCount, reinterpret_cast<const char*>(&probes),
                              sizeof probes) == 0;
    // Where the count is fixed, the probes come closer so the total holds.
    uint64_t interval = counted ? timers.intervalMs
                                : static_cast<uint64_t>(timers.intervalMs) * probes / kFixedProbes;
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = timers.idleMs < kMinimumStepMs ? kMinimumStepMs : timers.idleMs;
    values.keepaliveinterval = interval < kMinimumStepMs ? kMinimumStepMs : static_cast<ULONG>(interval);
    DWORD returned = 0;
    WSAIoctl(socket_, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    // Data left unacknowledged: the same total, in whole seconds.
    DWORD seconds = static_cast<DWORD>((static_cast<uint64_t>(timers.userTimeoutMs) + 999) / 1000);
    setsockopt(socket_, IPPROTO_TCP, kTcpMaxRetransmitSeconds, reinterpret_cast<const char*>(&seconds),
               sizeof seconds);
}

void WinsockNetwork::Close() {
    if (lookup_ != nullptr) {
        WSACancelAsyncRequest(lookup_);
        lookup_ = nullptr;
    }
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    pending_.Clear();
    readError_ = sendError_ = 0;
}

} // namespace velmora::win32
