// InterpretCommand against the in-process fake reader: the client's own
// cost per command, with PC/SC reduced to a memcpy.
#include "fake_pcsc.h"
#include "protocol/command.h"
#include "reader/card.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

void OpenSimulatedCard() {
    fakepcsc::Reset();
    velmora::g_card = velmora::CardAccessState{};
    int reader = fakepcsc::AddReader("Bench Reader");
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    std::snprintf(velmora::g_card.readerName, sizeof velmora::g_card.readerName, "Bench Reader");
    velmora::g_card.context = 1;
    velmora::g_card.readerState.szReader = velmora::g_card.readerName;
    velmora::g_card.readerState.dwCurrentState = SCARD_STATE_PRESENT;
    uint8_t answer[258];
    for (size_t i = 0; i < sizeof answer; ++i) answer[i] = static_cast<uint8_t>(i);
    answer[256] = 0x90;
    answer[257] = 0x00;
    fakepcsc::SetTransmitAnswer(answer, sizeof answer);
    const uint8_t vendor[] = "Velmora Bench";
    fakepcsc::SetAttribute(SCARD_ATTR_VENDOR_NAME, vendor, sizeof vendor - 1);
}

void RunLine(benchmark::State& state, const char* line) {
    OpenSimulatedCard();
    char reply[1000];
    velmora::InterpretCommand(line, reply);  // connects once
    for (auto _ : state) {
        velmora::InterpretCommand(line, reply);
        benchmark::DoNotOptimize(reply);
    }
    velmora::DisconnectCard();
}

void BM_Transmit255(benchmark::State& state) {
    std::string line = "TRANSMIT T1 ";
    for (int i = 0; i < 255; ++i) line += "A5";
    RunLine(state, line.c_str());
}

void BM_State(benchmark::State& state) { RunLine(state, "STATE"); }

void BM_GetAttribute(benchmark::State& state) { RunLine(state, "GET_ATTRIBUTE VENDOR_NAME"); }

} // namespace

BENCHMARK(BM_Transmit255);
BENCHMARK(BM_State);
BENCHMARK(BM_GetAttribute);
BENCHMARK_MAIN();
