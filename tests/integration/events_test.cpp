// Card insertion and removal as pcscd reports them, the cancelling of a
// status wait, and the core's presence monitor on top of both.
#include "pcscd_fixture.h"

#include "fakes.h"
#include "reader/monitor.h"

#include <chrono>
#include <future>

using pcscdtest::kCardReader;
using pcscdtest::kEmptyReader;
using pcscdtest::kPolledReader;

namespace {

// Safety nets against a hung test, not timing assertions.
constexpr auto kLimit = std::chrono::seconds(10);
constexpr DWORD kWaitLimitMs = 20000;

struct WaitResult {
    LONG status;
    DWORD eventState;
    std::string atr;
};

// One status wait on a context of its own, from the state word `current`;
// it times out only if nothing wakes it.
WaitResult WaitOnOwnContext(const std::string& reader, DWORD current, SCARDCONTEXT* own) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = current;
    WaitResult result{SCardGetStatusChange(*own, kWaitLimitMs, &state, 1), state.dwEventState, {}};
    for (DWORD i = 0; i < state.cbAtr; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", state.rgbAtr[i]);
        result.atr += digits;
    }
    return result;
}

class StatusChangeTest : public pcscdtest::PcscdTest {
protected:
    SCARDCONTEXT waiterContext = 0;

    void SetUp() override {
        PcscdTest::SetUp();
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &waiterContext), SCARD_S_SUCCESS);
    }
    // The waiter has returned by now: releasing its context cannot block.
    void TearDown() override {
        SCardReleaseContext(waiterContext);
        PcscdTest::TearDown();
    }
    std::future<WaitResult> StartWait(size_t reader, DWORD current) {
        return std::async(std::launch::async, WaitOnOwnContext, pcscdtest::Pcscd().ReaderName(reader), current,
                          &waiterContext);
    }
};

TEST_F(StatusChangeTest, InsertionWakesTheWaitWithTheCardsAtr) {
    DWORD empty = WaitForCard(kEmptyReader, false);
    auto wait = StartWait(kEmptyReader, empty);
    std::string atr = Sim(kEmptyReader, "CARD T0").substr(3);
    Sim(kEmptyReader, "INSERT");
    ASSERT_EQ(wait.wait_for(kLimit), std::future_status::ready);
    WaitResult result = wait.get();
    EXPECT_EQ(result.status, SCARD_S_SUCCESS);
    EXPECT_NE(result.eventState & SCARD_STATE_PRESENT, 0u);
    EXPECT_EQ(result.atr, atr);
}

TEST_F(StatusChangeTest, RemovalWakesTheWait) {
    DWORD present = WaitForCard(kCardReader, true);
    auto wait = StartWait(kCardReader, present);
    Sim(kCardReader, "REMOVE");
    ASSERT_EQ(wait.wait_for(kLimit), std::future_status::ready);
    WaitResult result = wait.get();
    EXPECT_EQ(result.status, SCARD_S_SUCCESS);
    EXPECT_NE(result.eventState & SCARD_STATE_EMPTY, 0u);
    EXPECT_EQ(result.eventState & SCARD_STATE_PRESENT, 0u);
}

// Without the driver's event wait pcscd finds the card by its own polling.
TEST_F(StatusChangeTest, ReaderPolledByPcscdSeesInsertionToo) {
    Sim(kPolledReader, "REMOVE");
    DWORD empty = WaitForCard(kPolledReader, false);
    auto wait = StartWait(kPolledReader, empty);
    Sim(kPolledReader, "INSERT");
    ASSERT_EQ(wait.wait_for(kLimit), std::future_status::ready);
    EXPECT_NE(wait.get().eventState & SCARD_STATE_PRESENT, 0u);
}

// A cancel that comes before the waiter blocks is lost, so it is repeated
// until the waiter has returned (as the core's monitor does).
TEST_F(StatusChangeTest, CancelFromAnotherThreadWakesTheWait) {
    DWORD present = WaitForCard(kCardReader, true);
    auto wait = StartWait(kCardReader, present);
    do {
        EXPECT_EQ(SCardCancel(waiterContext), SCARD_S_SUCCESS);
    } while (wait.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
    EXPECT_EQ(wait.get().status, static_cast<LONG>(SCARD_E_CANCELLED));
}

TEST_F(StatusChangeTest, CancelLeavesOtherContextsAlone) {
    DWORD present = WaitForCard(kCardReader, true);
    auto wait = StartWait(kCardReader, present);
    EXPECT_EQ(SCardCancel(context), SCARD_S_SUCCESS);
    Sim(kCardReader, "REMOVE");
    ASSERT_EQ(wait.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(wait.get().status, SCARD_S_SUCCESS);
}

class MonitorTest : public pcscdtest::PcscdTest {
protected:
    FakeShell shell;  // card events cross threads here as the shells' queued calls do

    void SetUp() override {
        PcscdTest::SetUp();
        velmora::SetShell(&shell);
    }
    void TearDown() override {
        velmora::RetireMonitor();
        velmora::SetShell(nullptr);
        PcscdTest::TearDown();
    }
    // The first card edge the monitor reports.
    int NextEdge() {
        velmora::CardEvent event{};
        while (shell.WaitForEvent(&event)) {
            if (event.kind == velmora::CardEvent::Kind::Change) return event.code;
            EXPECT_EQ(event.kind, velmora::CardEvent::Kind::StateOnly);
        }
        return -1;
    }
};

TEST_F(MonitorTest, ReportsInsertion) {
    OpenReader(kEmptyReader);
    velmora::StartMonitor();
    Sim(kEmptyReader, "INSERT");
    EXPECT_EQ(NextEdge(), 1);
}

TEST_F(MonitorTest, ReportsRemoval) {
    OpenReader(kCardReader);
    velmora::StartMonitor();
    Sim(kCardReader, "REMOVE");
    EXPECT_EQ(NextEdge(), 2);
}

TEST_F(MonitorTest, RetiringEndsItsWaitWithoutAnEvent) {
    OpenReader(kCardReader);
    velmora::StartMonitor();
    velmora::RetireMonitor();
    EXPECT_EQ(shell.Pending(), 0u);
}

} // namespace
