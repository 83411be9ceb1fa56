#include "link/link.h"

#include "app/shell.h"
#include "app/support_log.h"
#include "link/address.h"
#include "link/reconnect.h"
#include "wire/ascii.h"
#include "protocol/command.h"
#include "reader/pcsc.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace velmora {

LinkState g_link;

namespace {

Network* g_network = nullptr;
KeepaliveTimers g_keepalive = kDefaultKeepalive;

constexpr size_t kFieldReadSize = 1000;

void EndLink() {
    if (g_network != nullptr) g_network->Close();
    g_link.state = LinkStateOf(LinkPhase::Idle);
}

// A failed connect or read: the error's text on the status line, then idle.
void FailLink(const char* prefix, unsigned long error) {
    char text[kPacketSize];
    SystemMessageText(error, text, sizeof text);
    ShowStatus(ConnectionDialog(), "%s%s", prefix, text);
    EndLink();
    ReconnectLinkLost();
}

// Every completion raises the state by one. A connection that answers
// commands for weeks must not run the counter over: it stops at its top,
// where it still means "connected and answering".
int32_t RaiseLinkState() {
    if (g_link.state < INT32_MAX) ++g_link.state;
    return g_link.state;
}

bool IsTrailingSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDecryptAnswer(const char* line, const char* reply) {
    constexpr size_t kDecryptReplyLength = 281;
    return std::strncmp(line, "TRANSMIT T1 002a8084", 20) == 0 &&
           std::strncmp(reply, "200 TRANSMIT SUCCESS", 20) == 0 &&
           std::strlen(reply) == kDecryptReplyLength &&
           std::strcmp(reply + kDecryptReplyLength - 4, "9000") == 0;
}

void StartLookup(ConnectionDialogView* dialog) {
    uint32_t address = 0;
    g_link.numeric = ParseNumericHost(g_link.host, &address);
    g_link.numericAddress = address;
    bool started = false;
    if (g_link.numeric) {
        char dotted[16];
        FormatDotted(address, dotted, sizeof dotted);
        started = g_network != nullptr && g_network->StartLookupByAddress(address);
        ShowStatus(dialog, "Namensaufl\xF6sung f\xFCr Adresse %s", dotted);
    } else {
        started = g_network != nullptr && g_network->StartLookupByName(g_link.host);
        ShowStatus(dialog, "Namensaufl\xF6sung f\xFCr '%s'", g_link.host);
    }
    if (!started) {
        // No completion will come: give the controls back at once.
        ShowStatus(dialog, "Namensaufl\xF6sung konnte nicht gestartet werden");
        g_link.state = LinkStateOf(LinkPhase::Idle);
        RefreshDialogControls(dialog);
        ReconnectLinkLost();
    }
}

void ConnectTo(const HostEntry& entry) {
    char dotted[16];
    FormatDotted(entry.address, dotted, sizeof dotted);
    unsigned long error = 0;
    ConnectStart start = g_network->StartConnect(entry.address, g_link.port, &error);
    if (start == ConnectStart::SocketFailed) {
        ShowStatus(ConnectionDialog(), "Socket() failed in WM_CREATE");
        g_link.state = LinkStateOf(LinkPhase::Idle);
        ReconnectLinkLost();
        return;
    }
    if (UnixSocketPath(g_link.host) != nullptr) {
        ShowStatus(ConnectionDialog(), "Starte Verbindungsaufbau mit %s", g_link.host);
    } else {
        ShowStatus(ConnectionDialog(), "Starte Verbindungsaufbau mit %s (%s), Port %u", entry.name,
                   dotted, static_cast<unsigned>(g_link.port));
    }
    if (start == ConnectStart::Failed) FailLink("Connect(): ", error);
}

// A command and its answer as the protocol log shows them, for the support log.
void LogExchange(const char* packet, const char* reply) {
    char line[2 * kPacketSize + 8];
    std::snprintf(line, sizeof line, "%s => %s", packet, reply);
    SupportLogLine('P', line);
}

// The server closed or reset the connection: idle, and a try later when
// Reconnect is on.
void PeerClosed() {
    ShowStatus(ConnectionDialog(), "Verbindung wurde durch Gegenseite geschlossen.");
    EndLink();
    ReconnectLinkLost();
}

// A command read just before the server's close: the server may have given
// up on it already (its reply time-out) and told its program it failed, so
// it must not reach the card. It is logged as read, then the close is
// handled as if the command had not come.
bool DroppedBehindClose(const char* packet, size_t length) {
    if (!g_network->PeerHasEnded()) return false;
    constexpr const char* kDropped = "nicht ausgef\xFChrt: Verbindung beendet";
    LogInsert(length, " => ");
    LogInsert(length + 4, kDropped);
    if (SupportLogOn()) LogExchange(packet, kDropped);
    PeerClosed();
    return true;
}

// One read: logged always, answered from the second on.
void HandleRead(int32_t n) {
    char packet[kPacketSize];
    unsigned long error = 0;
    long got = g_network->Receive(packet, kPacketSize - 1, &error);
    ConnectionDialogView* dialog = ConnectionDialog();
    if (got < 0) {
        FailLink("", error);
        return;
    }
    ShowStatus(dialog, "Datenpaket %d der L\xE4nge %d erhalten", n - 4, static_cast<int>(got));
    size_t length = static_cast<size_t>(got);
    packet[length] = '\0';
    // A NUL byte ends the line as every later step reads it; the log
    // positions must count the same characters.
    length = std::strlen(packet);
    while (length > 0 && IsTrailingSpace(packet[length - 1])) packet[--length] = '\0';

    LogTrim();
    LogInsert(0, packet);
    LogInsert(length, "\r\n");
    if (n <= LinkStateOf(LinkPhase::Greeted)) {  // the greeting is only logged
        SupportLogLine('P', packet);
        return;
    }
    if (DroppedBehindClose(packet, length)) return;

    char reply[kPacketSize];
    InterpretCommand(packet, reply);
    LogInsert(length, " => ");
    LogInsert(length + 4, reply);
    if (SupportLogOn()) LogExchange(packet, reply);
    ShowStatus(ConnectionDialog(), "Datenpaket %d: %s\nAntwortpaket: %s", n - 3, packet, reply);
    if (IsDecryptAnswer(packet, reply)) LogInsert(0, "Decrypt APDU OK\r\n");
    size_t replyLength = std::strlen(reply);
    reply[replyLength] = '\n';
    LinkSendLine(reply, replyLength + 1);
}

void LookupDone(unsigned long error, const HostEntry* entry) {
    RaiseLinkState();
    HostEntry resolved{};
    if (error == 0 && entry != nullptr) {
        resolved = *entry;
    } else if (g_link.numeric) {
        // A numeric host needs no name: connect to the address all the same.
        FormatDotted(g_link.numericAddress, resolved.name, sizeof resolved.name);
        resolved.address = g_link.numericAddress;
    } else {
        ShowStatus(ConnectionDialog(), "Namensaufl\xF6sung gescheitert");
        g_link.state = LinkStateOf(LinkPhase::Idle);
        ReconnectLinkLost();
        return;
    }
    ConnectTo(resolved);
}

void ConnectDone(unsigned long error) {
    RaiseLinkState();
    if (error != 0) {
        FailLink("Connect(): ", error);
        return;
    }
    if (g_network != nullptr) g_network->StartKeepalive(g_keepalive);
    ShowStatus(ConnectionDialog(), "Verbindung erfolgreich aufgebaut.");
    ReconnectLinkUp();
}

void SocketEvent(bool closed, unsigned long) {
    int32_t n = RaiseLinkState();
    if (closed) {
        PeerClosed();
        return;
    }
    HandleRead(n);
}

} // namespace

void SetNetwork(Network* network) { g_network = network; }

void ResetLink() {
    g_link = LinkState{};
    std::snprintf(g_link.host, sizeof g_link.host, "%s", kDefaultHost);
    g_link.port = kDefaultPort;
    g_keepalive = kDefaultKeepalive;
}

void SetKeepaliveTimers(const KeepaliveTimers& timers) { g_keepalive = timers; }

const KeepaliveTimers& CurrentKeepaliveTimers() { return g_keepalive; }

KeepaliveTimers KeepaliveWithin(uint32_t totalMs) {
    constexpr uint32_t kStepMs = 1000;
    auto atLeastStep = [](uint32_t ms) { return ms < kStepMs ? kStepMs : ms; };
    // A third idle, then four probes in the rest: the default's shape.
    return KeepaliveTimers{atLeastStep(totalMs / 3), atLeastStep(totalMs / 6), 4, atLeastStep(totalMs)};
}

long ParsePortText(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value < 1000000) value = value * 10 + (*text - '0');
    }
    return negative ? -value : value;
}

void StartServerConnect(ConnectionDialogView* dialog) {
    ReconnectConnecting();
    g_link.state = LinkStateOf(LinkPhase::Lookup);
    RefreshDialogControls(dialog);
    if (dialog != nullptr) {
        char field[kFieldReadSize];
        dialog->ReadHostText(field, sizeof field);
        std::snprintf(g_link.host, sizeof g_link.host, "%.99s", field);
        dialog->ReadPortText(field, sizeof field);
        long port = ParsePortText(field);
        // The enable rules keep Connect off outside 1..65535.
        g_link.port = static_cast<uint16_t>(port);
    }
    StartLookup(dialog);
}

void LinkLookupDone(unsigned long error, const HostEntry* entry) {
    LookupDone(error, entry);
    RefreshDialogControls(ConnectionDialog());
}

void LinkConnectDone(unsigned long error) {
    ConnectDone(error);
    RefreshDialogControls(ConnectionDialog());
}

void LinkSocketEvent(bool closed, unsigned long error) {
    SocketEvent(closed, error);
    RefreshDialogControls(ConnectionDialog());
}

bool LinkSendLine(const char* line, size_t length) {
    if (!LinkReached(g_link.state, LinkPhase::Connected) || g_network == nullptr) return false;
    unsigned long error = 0;
    if (!g_network->Send(line, length, &error)) {
        // A line that cannot leave whole must not be followed by later ones.
        FailLink("", error != 0 ? error : static_cast<unsigned long>(kSocketConnectionReset));
    }
    return true;
}

void CloseServerConnection(ConnectionDialogView* dialog) {
    ReconnectStop();
    EndLink();
    ShowStatus(dialog, "Verbindung geschlossen");
    RefreshDialogControls(dialog);
    if (Shell* shell = CurrentShell()) shell->DestroyPinDialog();
}

void LinkShutdown() {
    ReconnectStop();
    if (!LinkIdle(g_link.state)) EndLink();
    g_link.state = LinkStateOf(LinkPhase::Idle);
}

} // namespace velmora
