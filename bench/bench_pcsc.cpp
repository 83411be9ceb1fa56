// Measures, through a private pcscd and the simulated reader: one
// SCardTransmit round trip, and the time from a card insertion or removal
// on the control channel to SCardGetStatusChange returning with it.
// Medians and 99th percentiles; not part of any test's pass or fail.
#include "control_client.h"
#include "private_pcscd.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr size_t kEventReader = 1;   // empty at start, tells pcscd of changes
constexpr size_t kPolledReader = 2;  // empty at start, pcscd polls it
constexpr DWORD kWaitLimitMs = 10000;

void Report(const char* what, std::vector<double> samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    size_t p99 = std::min(samples.size() - 1, samples.size() * 99 / 100);
    std::printf("%-44s n=%-5zu median %9.1f us   p99 %9.1f us\n", what, samples.size(),
                samples[samples.size() / 2], samples[p99]);
}

std::vector<double> TransmitRoundTrips(SCARDHANDLE card, const std::vector<BYTE>& apdu, int count) {
    std::vector<double> samples;
    BYTE answer[1024];
    for (int i = -count / 10; i < count; ++i) {  // the first tenth warms up
        DWORD length = sizeof answer;
        auto start = Clock::now();
        LONG rc = SCardTransmit(card, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                                answer, &length);
        auto took = Micros(Clock::now() - start).count();
        if (rc != SCARD_S_SUCCESS) {
            std::fprintf(stderr, "SCardTransmit: %s\n", pcsc_stringify_error(rc));
            return {};
        }
        if (i >= 0) samples.push_back(took);
    }
    return samples;
}

// The time from sending `command` to the status wait returning with the
// card present (INSERT) or absent (REMOVE); negative if it never does.
double EventLatency(SCARDCONTEXT context, simreader::ControlClient* control, const std::string& reader,
                    const char* command, DWORD* state) {
    const DWORD wanted = std::string(command) == "INSERT" ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    SCARD_READERSTATE record{};
    record.szReader = reader.c_str();
    std::string reply;
    auto start = Clock::now();
    if (!control->Send(command, &reply) || reply != "OK") return -1;
    do {
        record.dwCurrentState = *state;
        if (SCardGetStatusChange(context, kWaitLimitMs, &record, 1) != SCARD_S_SUCCESS) return -1;
        *state = record.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    } while ((*state & wanted) == 0);
    return Micros(Clock::now() - start).count();
}

void MeasureEvents(SCARDCONTEXT context, const simreader::PrivatePcscd& pcscd, size_t reader, int count,
                   const char* label) {
    simreader::ControlClient control;
    if (!control.Connect(pcscd.ControlSocket(reader))) return;
    SCARD_READERSTATE record{};
    std::string name = pcscd.ReaderName(reader);
    record.szReader = name.c_str();
    SCardGetStatusChange(context, 0, &record, 1);
    DWORD state = record.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    std::vector<double> inserted;
    std::vector<double> removed;
    for (int i = 0; i < count; ++i) {
        double in = EventLatency(context, &control, name, "INSERT", &state);
        double out = EventLatency(context, &control, name, "REMOVE", &state);
        if (in < 0 || out < 0) {
            std::fprintf(stderr, "%s: a card event was not seen\n", label);
            return;
        }
        inserted.push_back(in);
        removed.push_back(out);
    }
    Report((std::string("insertion seen, ") + label).c_str(), inserted);
    Report((std::string("removal seen, ") + label).c_str(), removed);
}

int Measure(const simreader::PrivatePcscd& pcscd, int transmits, int events, int polledEvents) {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, pcscd.ReaderName(0).c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                     &protocol) != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "cannot reach the simulated card\n");
        return 1;
    }
    Report("SCardTransmit, SELECT, 2-byte answer", TransmitRoundTrips(card, {0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00}, transmits));
    Report("SCardTransmit, 256-byte answer", TransmitRoundTrips(card, {0x80, 0xEE, 0x01, 0x00}, transmits));
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    MeasureEvents(context, pcscd, kEventReader, events, "driver's event wait");
    MeasureEvents(context, pcscd, kPolledReader, polledEvents, "pcscd's own polling");
    SCardReleaseContext(context);
    return 0;
}

int Count(int argc, char** argv, int index, int fallback) {
    return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-') {
        std::fprintf(stderr, "usage: bench_pcsc [TRANSMITS [EVENTS [POLLED_EVENTS]]]\n");
        return 2;
    }
    simreader::PrivatePcscd pcscd;
    std::string error;
    if (!pcscd.Start({"card=t1", "card=none", "card=none,notify=off"}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return Measure(pcscd, Count(argc, argv, 1, 5000), Count(argc, argv, 2, 200), Count(argc, argv, 3, 10));
}
