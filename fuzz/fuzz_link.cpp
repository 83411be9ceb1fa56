// The server link's read handling: the server's bytes arrive split at
// arbitrary points, with closes (also one waiting behind the last bytes),
// failed reads and failed sends in between, and the link reconnecting after
// each end.
//
// Input: flags, the card's transmit answer (length word and bytes), then
// operations, an opcode byte each followed by its arguments, until the input
// ends. The link is connected before the first operation.
#include "fakes.h"
#include "recording_dialog.h"
#include "support.h"

namespace {

using velmora::g_link;

constexpr int32_t kConnected = velmora::LinkStateOf(velmora::LinkPhase::Connected);
constexpr int32_t kGreeted = 4;
constexpr size_t kMaxOperations = 300;

enum Flag : uint8_t {
    kCardOut = 0x01,
    kNoDialog = 0x02,
};

// A socket as the shells give it: reads hand out what the server sent, at
// most as much as the harness allows; sends are recorded call by call.
class WireNetwork : public velmora::Network {
public:
    std::string pending;       // sent by the server, not read yet
    size_t readLimit = 0;      // the next read returns at most this many bytes
    unsigned long readError = 0;
    bool sendFails = false;    // the next send fails
    bool lookupStarts = true;
    velmora::ConnectStart connectStart = velmora::ConnectStart::Pending;
    std::vector<std::string> sends;
    std::string lastRead;
    bool open = false;
    bool peerEnded = false;    // the server's close waits behind its bytes

    bool StartLookupByName(const char*) override { return lookupStarts; }
    bool StartLookupByAddress(uint32_t) override { return lookupStarts; }
    velmora::ConnectStart StartConnect(uint32_t, uint16_t, unsigned long* error) override {
        if (open) fuzz::Fail("a second socket while one is open");
        open = connectStart != velmora::ConnectStart::SocketFailed;
        *error = velmora::kSocketConnectionRefused;
        return connectStart;
    }
    long Receive(char* buffer, size_t size, unsigned long* error) override {
        if (!open) fuzz::Fail("read on a closed socket");
        if (readError != 0) {
            *error = readError;
            readError = 0;
            return -1;
        }
        size_t n = std::min({size, readLimit, pending.size()});
        lastRead = pending.substr(0, n);
        std::memcpy(buffer, pending.data(), n);  // the core's own buffer: ASan checks its size
        pending.erase(0, n);
        return static_cast<long>(n);
    }
    bool Send(const char* data, size_t length, unsigned long* error) override {
        if (!open) fuzz::Fail("send on a closed socket");
        if (sendFails) {
            sendFails = false;
            *error = velmora::kSocketConnectionReset;
            return false;
        }
        sends.emplace_back(data, length);
        return true;
    }
    void Close() override { open = false; }
    bool PeerHasEnded() override {
        if (!open) fuzz::Fail("peek on a closed socket");
        return peerEnded && pending.empty();
    }
    void StartKeepalive(const velmora::KeepaliveTimers&) override {
        if (!open) fuzz::Fail("keepalive on a closed socket");
    }
};

class Run {
public:
    Run(fuzz::Input& in, uint8_t flags) : in_(in), flags_(flags) {}

    void SetUp() {
        bool cardIn = (flags_ & kCardOut) == 0;
        fuzz::OpenReader(cardIn, cardIn, SCARD_PROTOCOL_T1);
        std::vector<uint8_t> answer = fuzz::PickAnswer(in_);
        fakepcsc::SetTransmitAnswer(answer.data(), answer.size());
        velmora::ClientStart(&shell_, &network_);
        velmora::SetConnectionDialog((flags_ & kNoDialog) != 0 ? nullptr : &dialog_);
        Connect(0);
        if (g_link.state != kConnected) fuzz::Fail("simulated connect ended in state %d", g_link.state);
    }

    void Operations() {
        for (size_t i = 0; i < kMaxOperations && !in_.Empty(); ++i) {
            Operation(in_.Byte());
            CheckSocket();
        }
    }

    void TearDown() {
        velmora::LinkShutdown();
        velmora::DisconnectCard();
        velmora::SetConnectionDialog(nullptr);
        velmora::ClientStart(nullptr, nullptr);
    }

private:
    fuzz::Input& in_;
    uint8_t flags_;
    WireNetwork network_;
    FakeShell shell_;
    RecordingDialog dialog_;

    bool Connected() const { return g_link.state >= kConnected; }

    void Operation(uint8_t op) {
        switch (op % 8) {
        case 0: ServerSends(); break;
        case 1: Read(); break;
        case 2: if ((op & 0x80) != 0) network_.peerEnded = true; else Closed(); break;
        case 3: network_.sendFails = true; break;
        case 4: FailedRead(); break;
        case 5: if (g_link.state == 0) Connect(in_.Byte()); break;
        case 6: ToggleDialog(); break;
        default: CardMoves(); break;
        }
    }

    void ServerSends() {
        std::vector<uint8_t> bytes = in_.Bytes(in_.Word() % 1201);
        network_.pending.append(bytes.begin(), bytes.end());
    }

    void Read() {
        network_.readLimit = in_.Word();
        if (!Connected()) return;  // a closed socket reports nothing
        int32_t before = g_link.state;
        bool sendFails = network_.sendFails;
        size_t sends = network_.sends.size();
        velmora::LinkSocketEvent(false, 0);
        size_t added = network_.sends.size() - sends;
        if (before < kGreeted) {
            // The greeting is logged, never answered.
            if (added != 0) fuzz::Fail("the greeting was answered");
            return;
        }
        if (network_.peerEnded && network_.pending.empty()) {
            // The server's close waited behind this command: never run, never answered.
            if (added != 0 || g_link.state != 0) fuzz::Fail("a command behind the close was answered");
            return;
        }
        if (sendFails) {
            if (added != 0 || g_link.state != 0) fuzz::Fail("link outlived a failed send");
            return;
        }
        if (added != 1) fuzz::Fail("%zu reply lines for one read", added);
        CheckLine(network_.sends.back());
        CheckLog(network_.sends.back());
    }

    void CheckLine(const std::string& sent) {
        std::string packet = network_.lastRead.c_str();
        if (sent.empty() || sent.back() != '\n') fuzz::Fail("reply to '%.60s' not ended by LF", packet.c_str());
        std::string line = sent.substr(0, sent.size() - 1);
        if (line.find('\n') != std::string::npos) fuzz::Fail("reply to '%.60s' is two lines", packet.c_str());
        fuzz::CheckReply(line.c_str(), packet.c_str());
    }

    // The protocol log's newest line shows the command as interpreted and its reply.
    void CheckLog(const std::string& sent) {
        if (velmora::ConnectionDialog() != &dialog_) return;
        std::string packet = network_.lastRead.c_str();
        while (!packet.empty() && (packet.back() == ' ' || (packet.back() >= '\t' && packet.back() <= '\r'))) {
            packet.pop_back();
        }
        std::string expected = packet + " => " + sent.substr(0, sent.size() - 1) + "\r\n";
        if (dialog_.log.compare(0, expected.size(), expected) != 0 &&
            dialog_.log.find("Decrypt APDU OK\r\n" + expected) != 0) {
            fuzz::Fail("log shows '%.80s' for '%.80s'", dialog_.log.c_str(), expected.c_str());
        }
    }

    void Closed() {
        if (!Connected()) return;
        size_t sends = network_.sends.size();
        velmora::LinkSocketEvent(true, 0);
        if (g_link.state != 0) fuzz::Fail("close left the link in state %d", g_link.state);
        if (network_.sends.size() != sends) fuzz::Fail("a close was answered");
    }

    void FailedRead() {
        static const unsigned long kErrors[] = {velmora::kSocketConnectionReset,
                                                velmora::kSocketTimedOut, 10053, 0xDEADBEEF};
        unsigned long error = kErrors[in_.Byte() % 4];
        if (!Connected()) return;
        network_.readError = error;
        size_t sends = network_.sends.size();
        velmora::LinkSocketEvent(false, error);
        if (g_link.state != 0) fuzz::Fail("failed read left the link in state %d", g_link.state);
        if (network_.sends.size() != sends) fuzz::Fail("a failed read was answered");
    }

    // The connect through its completions; mode picks the host kind and where
    // it fails, 0 being a connect that succeeds.
    void Connect(uint8_t mode) {
        network_.pending.clear();
        network_.peerEnded = false;
        dialog_.host = (mode & 0x01) != 0 ? "127.0.0.1" : "localhost";
        network_.lookupStarts = (mode & 0x02) == 0;
        static const velmora::ConnectStart kStarts[] = {
            velmora::ConnectStart::Pending, velmora::ConnectStart::Pending,
            velmora::ConnectStart::Failed, velmora::ConnectStart::SocketFailed};
        network_.connectStart = kStarts[(mode >> 3) & 3];
        velmora::StartServerConnect(velmora::ConnectionDialog());
        if (g_link.state == 0) return;
        velmora::HostEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "localhost");
        entry.address = 0x0100007F;
        bool lookupFails = (mode & 0x04) != 0;
        velmora::LinkLookupDone(lookupFails ? velmora::kSocketHostNotFound : 0,
                                lookupFails ? nullptr : &entry);
        if (g_link.state != 2) return;
        bool refused = ((mode >> 3) & 3) == 1;
        velmora::LinkConnectDone(refused ? velmora::kSocketConnectionRefused : 0);
    }

    void ToggleDialog() {
        bool open = velmora::ConnectionDialog() != nullptr;
        velmora::SetConnectionDialog(open ? nullptr : &dialog_);
    }

    void CardMoves() {
        uint8_t move = in_.Byte();
        if ((move & 0x01) != 0) fakepcsc::RemoveCard(0);
        if ((move & 0x02) != 0) fakepcsc::InsertCard(0, SCARD_PROTOCOL_T1);
        if ((move & 0x04) != 0) velmora::DisconnectCard();
    }

    // The socket exists exactly while the link is connecting or connected.
    void CheckSocket() {
        bool expectOpen = g_link.state >= 2;
        if (network_.open != expectOpen) {
            fuzz::Fail("link state %d with the socket %s", g_link.state, network_.open ? "open" : "closed");
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::RunInput<Run>(data, size);
}
