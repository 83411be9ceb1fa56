#include "pcscd_fixture.h"

#include "protocol/command.h"
#include "ui/view.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace pcscdtest {
namespace {

simreader::PrivatePcscd g_pcscd;

// A safety net against a hung test, not a timing assertion.
constexpr DWORD kWaitLimitMs = 10000;

class PcscdEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(g_pcscd.Start({"card=t1,pinpad=on", "card=none", "card=t1,notify=off"}, &error)) << error;
    }
    void TearDown() override { g_pcscd.Stop(); }
};

bool HasCard(DWORD state) { return (state & SCARD_STATE_PRESENT) != 0; }

} // namespace

simreader::PrivatePcscd& Pcscd() { return g_pcscd; }

std::string HexOf(const std::string& text) {
    std::string hex;
    char digits[3];
    for (unsigned char c : text) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        hex += digits;
    }
    return hex;
}

void PcscdTest::SetUp() {
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    ResetReader(kCardReader, true);
    ResetReader(kEmptyReader, false);
    velmora::g_card = velmora::CardAccessState{};
    velmora::SetConnectionDialog(nullptr);
}

void PcscdTest::TearDown() {
    velmora::DisconnectCard();
    velmora::g_card = velmora::CardAccessState{};
    SCardReleaseContext(context);
}

std::string PcscdTest::Sim(size_t reader, const std::string& line) {
    std::string reply = g_pcscd.Command(reader, line);
    EXPECT_EQ(reply.rfind("OK", 0), 0u) << line << " -> " << reply;
    return reply;
}

DWORD PcscdTest::WaitForCard(size_t reader, bool present) {
    const std::string name = g_pcscd.ReaderName(reader);
    SCARD_READERSTATE state{};
    state.szReader = name.c_str();
    DWORD current = SCARD_STATE_UNAWARE;
    for (int round = 0; round < 10; ++round) {
        state.dwCurrentState = current;
        LONG rc = SCardGetStatusChange(context, round == 0 ? 0 : kWaitLimitMs, &state, 1);
        if (rc != SCARD_S_SUCCESS && rc != static_cast<LONG>(SCARD_E_TIMEOUT)) break;
        current = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        if (HasCard(current) == present) return current;
    }
    ADD_FAILURE() << name << " never showed " << (present ? "a card" : "no card");
    return 0;
}

void PcscdTest::ResetReader(size_t reader, bool presentAtStart) {
    Sim(reader, "REMOVE");
    WaitForCard(reader, false);
    Sim(reader, "RESET");
    if (presentAtStart) WaitForCard(reader, true);
}

void PcscdTest::SwapCard(size_t reader, const std::string& protocols) {
    Sim(reader, "REMOVE");
    WaitForCard(reader, false);
    Sim(reader, "CARD " + protocols);
    Sim(reader, "INSERT");
    WaitForCard(reader, true);
}

void PcscdTest::OpenReader(size_t reader) {
    DWORD state = WaitForCard(reader, reader != kEmptyReader);
    std::snprintf(velmora::g_card.readerName, sizeof velmora::g_card.readerName, "%s",
                  g_pcscd.ReaderName(reader).c_str());
    velmora::g_card.context = context;
    velmora::g_card.readerState.szReader = velmora::g_card.readerName;
    velmora::g_card.readerState.dwCurrentState = state;
}

std::string PcscdTest::Run(const std::string& line) {
    char reply[1000];
    std::memset(reply, 'Z', sizeof reply);
    velmora::InterpretCommand(line.c_str(), reply);
    std::string text(reply);
    EXPECT_LE(text.size(), velmora::kReplyMax) << line;
    return text;
}

} // namespace pcscdtest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new pcscdtest::PcscdEnvironment);
    return RUN_ALL_TESTS();
}
