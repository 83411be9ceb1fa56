// The server link's network over Windows Sockets with notification by
// window message: WSAAsyncGetHostByName/-Addr post WM_APP_RESOLVED, the
// connect posts WM_APP_CONNECTED, and the connected socket posts
// WM_APP_SOCKET for FD_READ, FD_WRITE and FD_CLOSE. The tray window hands
// those messages to the On* functions, which call the core's completions.
// The server's close behind a read is seen with FIONREAD and a MSG_PEEK recv
// on the non-blocking socket; keepalive is SIO_KEEPALIVE_VALS with
// TCP_KEEPCNT where Windows has it (else ten probes in the same total) and
// TCP_MAXRT for data left unacknowledged.
#pragma once

#include "link/link.h"
#include "link/send_queue.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

namespace velmora::win32 {

class WinsockNetwork final : public velmora::Network {
public:
    // The window that receives the notifications, and their messages.
    void SetWindow(HWND window, UINT resolved, UINT connected, UINT socketEvent);

    bool StartLookupByName(const char* host) override;
    bool StartLookupByAddress(uint32_t address) override;
    velmora::ConnectStart StartConnect(uint32_t address, uint16_t port, unsigned long* error) override;
    long Receive(char* buffer, size_t size, unsigned long* error) override;
    bool Send(const char* data, size_t length, unsigned long* error) override;
    void Close() override;
    bool PeerHasEnded() override;
    void StartKeepalive(const velmora::KeepaliveTimers& timers) override;

    // Notifications; each ignores one that names a lookup or socket that
    // has since been given up.
    void OnLookupDone(WPARAM wParam, LPARAM lParam);
    void OnConnectDone(WPARAM wParam, LPARAM lParam);
    void OnSocketEvent(WPARAM wParam, LPARAM lParam);

    size_t Pending() const { return pending_.Size(); }

private:
    bool Flush(unsigned long* error);
    bool DataWaiting();

    HWND window_ = nullptr;
    UINT resolvedMessage_ = 0;
    UINT connectedMessage_ = 0;
    UINT socketMessage_ = 0;
    HANDLE lookup_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    unsigned long readError_ = 0;   // the error the last FD_READ carried
    unsigned long sendError_ = 0;   // a failed send of queued bytes
    char hostBuffer_[MAXGETHOSTSTRUCT] = {};
    SendQueue pending_;
};

} // namespace velmora::win32
