// velmora-reader's core against a client that answers anything: the lines a
// client sends, between and instead of replies, and pcscd's calls in any
// order, with the connection ending and coming back.
//
// Input: lines. A line starting with '>' is something the client sends (its
// text after the '>'); the client sends the '>' lines that follow a command
// when the core sends it. Any other line is an operation: its first byte
// picks it, the rest is its argument: T transmit (bytes), C control (4 bytes
// code, then input), V VERIFY_PIN_DIRECT (structure), P power up, A attribute
// (a name), R a line received with no command waiting, O a line past the
// limit, D the connection ended and a new one ready, K the handshake timer,
// X reset, Y power down, B a new client's STATE probe, L a length pcscd hands
// in (4 bytes, up to 64 KiB, then the code: transmit, control and
// VERIFY_PIN_DIRECT with that many bytes).
#include "session.h"
#include "wire.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace velmora;
using namespace velmora::reader;

constexpr size_t kMaxOperations = 200;

struct Script {
    std::vector<std::string> lines;
    size_t next = 0;
    Session* session = nullptr;
};

bool Send(void* context, const char* data, size_t length) {
    auto* script = static_cast<Script*>(context);
    if (length == 0 || length > kCommandMax + 1 || data[length - 1] != '\n' ||
        std::memchr(data, '\n', length - 1) != nullptr) {
        std::fprintf(stderr, "INVARIANT BROKEN: a command that is not one line of at most 999 bytes\n");
        std::abort();
    }
    while (script->next < script->lines.size() && !script->lines[script->next].empty() &&
           script->lines[script->next][0] == '>') {
        script->session->Received(script->lines[script->next++].c_str() + 1);
    }
    return true;
}

void HangUp(void* context) { static_cast<Script*>(context)->session->Disconnected(); }
void Log(void*, int, const char*) {}

void Check(Result result, size_t length, size_t capacity) {
    if (result == Result::Ok && length > capacity) {
        std::fprintf(stderr, "INVARIANT BROKEN: %zu bytes answered into %zu\n", length, capacity);
        std::abort();
    }
}

// pcscd's lengths are the caller's to choose: every size reaches each entry.
void HostileLength(Session& session, const std::string& argument) {
    if (argument.size() < 4) return;
    uint32_t length = 0;
    std::memcpy(&length, argument.data(), 4);
    length %= 65536;
    std::vector<uint8_t> in(length + 1, 0);  // never empty: data() is then a real buffer
    std::memcpy(in.data(), argument.data() + 4, std::min<size_t>(argument.size() - 4, length));
    if (length >= 19) {  // a VERIFY template whose ulDataLength matches
        const uint32_t data = length - 19;
        std::memcpy(in.data() + 15, &data, 4);
        if (length > 20) in[20] = 0x20;
    }
    uint8_t out[300];
    size_t n = 0;
    Check(session.Transmit(1, in.data(), length, out, sizeof out, &n), n, sizeof out);
    Check(session.Control(PcscCtlCode(3500), in.data(), length, out, sizeof out, &n), n, sizeof out);
    Check(session.Control(PcscCtlCode(kFunctionVerifyPinDirect), in.data(), length, out, 2, &n), n, 2);
}

void Operate(Session& session, char op, const std::string& argument) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(argument.data());
    uint8_t out[300];
    size_t n = 0;
    switch (op) {
    case 'T': Check(session.Transmit(argument.size() % 2, bytes, argument.size(), out, sizeof out, &n), n, sizeof out); break;
    case 'C':
        if (argument.size() >= 4) {
            uint32_t code;
            std::memcpy(&code, bytes, 4);
            Check(session.Control(code, bytes + 4, argument.size() - 4, out, sizeof out, &n), n, sizeof out);
        }
        break;
    case 'V':
        Check(session.Control(PcscCtlCode(kFunctionVerifyPinDirect), bytes, argument.size(), out, 2, &n), n, 2);
        break;
    case 'P': Check(session.PowerUp(out, &n), n, kMaxAtr); break;
    case 'A': Check(session.Attribute(argument.c_str(), out, sizeof out, &n), n, sizeof out); break;
    case 'R': session.Received(argument.c_str()); break;
    case 'O': session.Overlong(); break;
    case 'D':
        session.Disconnected();
        session.Connected("fuzz");
        session.Received("200 CARD PRESENT");
        break;
    case 'K': session.Tick(); break;
    case 'X': Check(session.Reset(out, &n), n, kMaxAtr); break;
    case 'Y': session.PowerDown(); break;
    case 'B':
        if (session.BeginProbe()) {
            session.ProbeAnswered();
            session.EndProbe();
        }
        break;
    case 'L': HostileLength(session, argument); break;
    default: session.Present(); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script;
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        script.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    Options options;
    options.replyTimeoutMs = 0;  // a command the script does not answer fails at once
    options.greetingRetryMs = 0;
    options.keyPollMs = 0;
    options.pinSecondMs = 1;
    Session session(Port{&script, Send, HangUp, Log}, options);
    script.session = &session;
    session.Connected("fuzz");
    session.Received("200 CARD PRESENT");
    for (size_t operations = 0; script.next < script.lines.size() && operations < kMaxOperations; ++operations) {
        const std::string& line = script.lines[script.next++];
        if (line.empty() || line[0] == '>') continue;
        Operate(session, line[0], line.substr(1));
    }
    return 0;
}
