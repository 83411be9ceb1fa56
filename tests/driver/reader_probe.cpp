// A server program for the end-to-end tests and the chain benchmark: the
// real libpcsclite against the pcscd named by PCSCLITE_CSOCK_NAME. One
// command a line on standard input, one answer a line ("OK ..." or "ERR ...").
//   readers | wait present|absent MS | connect | disconnect [reset|unpower] | reconnect reset|unpower | status
//   transmit HEX | atr | attr TAG | features | control CODE [HEX]
//   verify STRUCTURE | bench COUNT HEX (median, p99 and p95 in µs, how many over 1 ms)
#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

SCARDCONTEXT g_context = 0;
SCARDHANDLE g_card = 0;
DWORD g_protocol = 0;
std::string g_reader;

using Bytes = std::vector<unsigned char>;

std::string Hex(const unsigned char* data, size_t length) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
    }
    return text;
}

Bytes Parse(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Error(LONG rv) {
    char text[64];
    std::snprintf(text, sizeof text, "ERR %08lX", static_cast<unsigned long>(rv));
    return text;
}

std::string Readers() {
    char names[4096];
    DWORD length = sizeof names;
    LONG rv = SCardListReaders(g_context, nullptr, names, &length);
    if (rv != SCARD_S_SUCCESS) return Error(rv);
    std::string out = "OK";
    for (const char* p = names; *p != '\0'; p += std::strlen(p) + 1) out += std::string(out == "OK" ? " " : "|") + p;
    g_reader = names;
    return out;
}

std::string Wait(const std::string& what, long ms) {
    if (g_reader.empty()) Readers();
    SCARD_READERSTATE state{};
    state.szReader = g_reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const bool wantPresent = what == "present";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        LONG rv = SCardGetStatusChange(g_context, 0, &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) return Error(rv);
        if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == wantPresent) return "OK";
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "ERR timeout";
        state.dwCurrentState = state.dwEventState;
        rv = SCardGetStatusChange(g_context, static_cast<DWORD>(left.count()), &state, 1);
        if (rv == SCARD_E_TIMEOUT) return "ERR timeout";
        if (rv != SCARD_S_SUCCESS) return Error(rv);
        if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == wantPresent) return "OK";
        state.dwCurrentState = state.dwEventState;
    }
}

std::string Status() {
    char name[256];
    DWORD nameLength = sizeof name;
    DWORD state = 0;
    DWORD protocol = 0;
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    LONG rv = SCardStatus(g_card, name, &nameLength, &state, &protocol, atr, &atrLength);
    if (rv != SCARD_S_SUCCESS) return Error(rv);
    return "OK " + Hex(atr, atrLength);
}

// "reset" or "unpower"; anything else leaves the card.
DWORD Disposition(const std::string& word) {
    if (word == "reset") return SCARD_RESET_CARD;
    if (word == "unpower") return SCARD_UNPOWER_CARD;
    return SCARD_LEAVE_CARD;
}

std::string Connect() {
    if (g_reader.empty()) Readers();
    if (g_card != 0) SCardDisconnect(g_card, SCARD_LEAVE_CARD);
    g_card = 0;
    LONG rv = SCardConnect(g_context, g_reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           &g_card, &g_protocol);
    if (rv != SCARD_S_SUCCESS) return Error(rv);
    return g_protocol == SCARD_PROTOCOL_T1 ? "OK T1" : "OK T0";
}

LONG TransmitOnce(const Bytes& apdu, Bytes* response) {
    unsigned char out[66000];
    DWORD length = sizeof out;
    const SCARD_IO_REQUEST* pci = g_protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    LONG rv = SCardTransmit(g_card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, out, &length);
    if (rv == SCARD_S_SUCCESS) response->assign(out, out + length);
    return rv;
}

std::string Transmit(const std::string& hex) {
    Bytes response;
    LONG rv = TransmitOnce(Parse(hex), &response);
    return rv == SCARD_S_SUCCESS ? "OK " + Hex(response.data(), response.size()) : Error(rv);
}

std::string Attribute(DWORD tag) {
    unsigned char value[264];  // libpcsclite refuses a larger buffer
    DWORD length = sizeof value;
    LONG rv = SCardGetAttrib(g_card, tag, value, &length);
    return rv == SCARD_S_SUCCESS ? "OK " + Hex(value, length) : Error(rv);
}

std::string Control(DWORD code, const Bytes& in, Bytes* out) {
    unsigned char buffer[1024];
    DWORD length = 0;
    LONG rv = SCardControl(g_card, code, in.data(), static_cast<DWORD>(in.size()), buffer, sizeof buffer, &length);
    if (rv != SCARD_S_SUCCESS) return Error(rv);
    out->assign(buffer, buffer + length);
    return "OK " + Hex(buffer, length);
}

std::string Features() {
    Bytes out;
    std::string answer = Control(CM_IOCTL_GET_FEATURE_REQUEST, {}, &out);
    if (answer.rfind("OK", 0) != 0) return answer;
    std::string list = "OK";
    char entry[32];
    for (size_t i = 0; i + 6 <= out.size(); i += 6) {
        std::snprintf(entry, sizeof entry, " %02X:%02X%02X%02X%02X", out[i], out[i + 2], out[i + 3], out[i + 4], out[i + 5]);
        list += entry;
    }
    return list;
}

std::string Verify(const std::string& hex) {
    Bytes out;
    if (Control(CM_IOCTL_GET_FEATURE_REQUEST, {}, &out).rfind("OK", 0) != 0) return "ERR features";
    for (size_t i = 0; i + 6 <= out.size(); i += 6) {
        if (out[i] != FEATURE_VERIFY_PIN_DIRECT) continue;
        DWORD code = static_cast<DWORD>(out[i + 2]) << 24 | out[i + 3] << 16 | out[i + 4] << 8 | out[i + 5];
        Bytes response;
        return Control(code, Parse(hex), &response);
    }
    return "ERR no VERIFY_PIN_DIRECT";
}

std::string Bench(long count, const std::string& hex) {
    Bytes apdu = Parse(hex);
    Bytes response;
    std::vector<double> micros;
    for (long i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        LONG rv = TransmitOnce(apdu, &response);
        auto end = std::chrono::steady_clock::now();
        if (rv != SCARD_S_SUCCESS) return Error(rv);
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    char text[96];
    long slow = std::count_if(micros.begin(), micros.end(), [](double us) { return us > 1000; });
    std::snprintf(text, sizeof text, "OK %.1f %.1f %.1f %ld", micros[micros.size() / 2], micros[micros.size() * 99 / 100],
                  micros[micros.size() * 95 / 100], slow);
    return text;
}

std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string command, a, b;
    in >> command >> a >> b;
    if (command == "readers") return Readers();
    if (command == "wait") return Wait(a, std::atol(b.c_str()));
    if (command == "connect") return Connect();
    if (command == "disconnect") {
        LONG rv = g_card != 0 ? SCardDisconnect(g_card, Disposition(a)) : SCARD_S_SUCCESS;
        g_card = 0;
        return rv == SCARD_S_SUCCESS ? "OK" : Error(rv);
    }
    if (command == "reconnect") {
        LONG rv = SCardReconnect(g_card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, Disposition(a),
                                 &g_protocol);
        return rv == SCARD_S_SUCCESS ? "OK" : Error(rv);
    }
    if (command == "status") return Status();
    if (command == "transmit") return Transmit(a);
    if (command == "atr") return Attribute(SCARD_ATTR_ATR_STRING);
    if (command == "attr") return Attribute(static_cast<DWORD>(std::strtoul(a.c_str(), nullptr, 16)));
    if (command == "features") return Features();
    if (command == "control") {
        Bytes out;
        return Control(static_cast<DWORD>(std::strtoul(a.c_str(), nullptr, 16)), Parse(b), &out);
    }
    if (command == "verify") return Verify(a);
    if (command == "bench") return Bench(std::atol(a.c_str()), b);
    return "ERR unknown command";
}

} // namespace

int main() {
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &g_context);
    if (rv != SCARD_S_SUCCESS) {
        std::printf("%s\n", Error(rv).c_str());
        return 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::printf("%s\n", Run(line).c_str());
        std::fflush(stdout);
    }
    if (g_card != 0) SCardDisconnect(g_card, SCARD_LEAVE_CARD);
    SCardReleaseContext(g_context);
    return 0;
}
