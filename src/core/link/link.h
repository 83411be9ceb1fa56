// The server connection: one TCP connection to the server, driven by the
// completions the shell's network delivers on the user-interface thread.
#pragma once

#include "ui/view.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

constexpr size_t kHostTextSize = 100;   // 99 characters and the terminator
constexpr size_t kPacketSize = 1000;    // one read of at most 999 bytes
constexpr size_t kHostNameSize = 256;
constexpr uint16_t kDefaultPort = 9688;
constexpr const char* kDefaultHost = "localhost";

// Socket failures are reported with the Windows Sockets numbers on every
// platform, so that one table gives their texts.
enum SocketError : unsigned long {
    kSocketOk = 0,
    kSocketWouldBlock = 10035,
    kSocketConnectionReset = 10054,
    kSocketNotConnected = 10057,
    kSocketTimedOut = 10060,
    kSocketConnectionRefused = 10061,
    kSocketHostUnreachable = 10065,
    kSocketHostNotFound = 11001,
};

// A finished lookup: the official name and the first IPv4 address.
struct HostEntry {
    char name[kHostNameSize];
    uint32_t address;  // network byte order
};

enum class ConnectStart { Pending, SocketFailed, Failed };

// TCP keepalive and the time-out for unacknowledged data on the connected
// socket: a path that died silently (no FIN, no reset) ends as a failed read
// instead of holding the server's reader for good.
struct KeepaliveTimers {
    uint32_t idleMs;         // silence before the first probe
    uint32_t intervalMs;     // between unanswered probes
    uint32_t probes;         // unanswered probes that end the connection
    uint32_t userTimeoutMs;  // data left unacknowledged this long ends it
};

// A dead path is found within about 30 s: idle, 10 s + 4 probes 5 s apart;
// while sending, the 30 s time-out.
constexpr KeepaliveTimers kDefaultKeepalive{10000, 5000, 4, 30000};

// The network as the link needs it. Completions come back through
// LinkLookupDone, LinkConnectDone and LinkSocketEvent.
class Network {
public:
    virtual bool StartLookupByName(const char* host) = 0;
    virtual bool StartLookupByAddress(uint32_t address) = 0;
    // Creates the socket and starts a non-blocking connect.
    virtual ConnectStart StartConnect(uint32_t address, uint16_t port, unsigned long* error) = 0;
    // Reads at most size bytes; returns the count, or -1 with *error set.
    virtual long Receive(char* buffer, size_t size, unsigned long* error) = 0;
    // Sends all bytes, in order after everything sent before; false if the
    // connection can no longer carry them.
    virtual bool Send(const char* data, size_t length, unsigned long* error) = 0;
    virtual void Close() = 0;
    // Whether the peer's close or reset already waits behind what has been
    // read, found without blocking. Data waiting there is no end.
    virtual bool PeerHasEnded() = 0;
    // Arms keepalive on the connected socket; best effort, as a system may
    // not offer every timer.
    virtual void StartKeepalive(const KeepaliveTimers& timers) = 0;

protected:
    ~Network() = default;
};

// The phases a connection goes through, in order. The link state counts
// completions: each step, then each line read, adds one, so a state at or
// above a phase has reached it, and past Greeted the link is answering.
enum class LinkPhase : int32_t { Idle = 0, Lookup = 1, Connecting = 2, Connected = 3, Greeted = 4 };

constexpr int32_t LinkStateOf(LinkPhase phase) { return static_cast<int32_t>(phase); }
constexpr bool LinkReached(int32_t state, LinkPhase phase) { return state >= LinkStateOf(phase); }
constexpr bool LinkIdle(int32_t state) { return state == LinkStateOf(LinkPhase::Idle); }

struct LinkState {
    int32_t state;  // a LinkPhase, or past Greeted the count of lines read
    char host[kHostTextSize];
    uint16_t port;
    uint32_t numericAddress;  // the host as a number, when it was one
    bool numeric;
};

extern LinkState g_link;

void SetNetwork(Network* network);
void ResetLink();  // back to the defaults of a new run

void StartServerConnect(ConnectionDialogView* dialog);
void CloseServerConnection(ConnectionDialogView* dialog);
void LinkLookupDone(unsigned long error, const HostEntry* entry);
void LinkConnectDone(unsigned long error);
void LinkSocketEvent(bool closed, unsigned long error);
// Program end: closes the socket if a connection is being made or exists.
void LinkShutdown();

// Sends a line on the open connection; ends the connection if it fails.
// Returns false when no connection was open.
bool LinkSendLine(const char* line, size_t length);

// The keepalive the next connections get; ResetLink restores the default.
void SetKeepaliveTimers(const KeepaliveTimers& timers);
const KeepaliveTimers& CurrentKeepaliveTimers();
// Timers that find a dead path within about totalMs (test builds shorten
// them); never below one second per step, the systems' granularity.
KeepaliveTimers KeepaliveWithin(uint32_t totalMs);

// Parses a port field as atoi would, saturating instead of overflowing.
long ParsePortText(const char* text);

} // namespace velmora
