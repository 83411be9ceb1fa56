// The monitor runs on its own thread against the fake's blocking status
// wait; events come back through the fake shell as the real ones do.
#include "client_fixture.h"
#include "reader/readers.h"
#include "ui/dialog.h"

#include <chrono>
#include <thread>

namespace {

using velmora::CardEvent;

class MonitorTest : public ClientCoreTest {
protected:
    void Open() {
        velmora::FillReaderList(&dialog);
        dialog.selected = 1;
        velmora::OpenReader(&dialog);
        ASSERT_EQ(shell.Deliver(), 1);  // the Open's own announcement
    }
    // Waits for the monitor's next event and handles it.
    CardEvent Next() {
        CardEvent event{};
        EXPECT_TRUE(shell.WaitForEvent(&event));
        velmora::HandleCardEvent(event);
        return event;
    }
};

TEST(CardEdge, RemovalWinsAndOtherBitsAreNoEdge) {
    EXPECT_EQ(velmora::CardEdge(SCARD_STATE_EMPTY, SCARD_STATE_PRESENT), 1);
    EXPECT_EQ(velmora::CardEdge(SCARD_STATE_PRESENT, SCARD_STATE_EMPTY), 2);
    EXPECT_EQ(velmora::CardEdge(SCARD_STATE_PRESENT, SCARD_STATE_PRESENT | SCARD_STATE_INUSE), 0);
    EXPECT_EQ(velmora::CardEdge(SCARD_STATE_UNAVAILABLE, SCARD_STATE_EMPTY), 2);
    EXPECT_EQ(velmora::CardEdge(0, SCARD_STATE_PRESENT | SCARD_STATE_EMPTY), 2);
}

TEST_F(MonitorTest, EventLinesReachTheServerWithExactBytes) {
    ConnectServer();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    velmora::FillReaderList(&dialog);
    velmora::OpenReader(&dialog);
    shell.Deliver();
    EXPECT_EQ(network.sent, "EVENT CARD INSERTED\n");  // the Open announces the card
    EXPECT_EQ(network.sent.size(), 20u);
    EXPECT_TRUE(dialog.controls.cardPresent);
    network.sent.clear();

    fakepcsc::RemoveCard(reader);
    EXPECT_EQ(Next().code, 2);
    EXPECT_EQ(network.sent, "EVENT CARD REMOVED\n");
    EXPECT_EQ(network.sent.size(), 19u);
    EXPECT_FALSE(dialog.controls.cardPresent);
    EXPECT_EQ(dialog.log.rfind("EVENT CARD REMOVED\r\n", 0), 0u);

    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    EXPECT_EQ(Next().code, 1);
    EXPECT_EQ(network.sent, "EVENT CARD REMOVED\nEVENT CARD INSERTED\n");
}

TEST_F(MonitorTest, RemovalKeepsTheCardHandleAndOpenWithoutCardDropsIt) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    fakepcsc::RemoveCard(reader);
    Next();
    EXPECT_NE(velmora::g_card.card, 0u);
    velmora::CloseReader(&dialog);
    shell.Deliver();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    fakepcsc::RemoveCard(reader);
    velmora::FillReaderList(&dialog);
    dialog.selected = 1;
    velmora::OpenReader(&dialog);
    shell.Deliver();
    EXPECT_EQ(velmora::g_card.card, 0u);
    EXPECT_TRUE(network.sent.empty());  // never connected: logged only
}

TEST_F(MonitorTest, ConnectionFromBeforeARemovalIsDroppedWhenACardComesBack) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    fakepcsc::RemoveCard(reader);
    EXPECT_EQ(Next().code, 2);
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    EXPECT_EQ(Next().code, 1);
    EXPECT_EQ(velmora::g_card.card, 0u);
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    EXPECT_EQ(fakepcsc::Seen().sharedConnects, 3);  // the list's probe and two connections
    EXPECT_EQ(fakepcsc::Seen().openHandles, 1);
}

TEST_F(MonitorTest, CloseWithCardAnnouncesRemovalAndRetiresTheMonitor) {
    ConnectServer();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    network.sent.clear();
    velmora::CloseReader(&dialog);
    EXPECT_EQ(velmora::CurrentMonitor(), 0u);
    EXPECT_EQ(shell.Deliver(), 1);
    EXPECT_EQ(network.sent, "EVENT CARD REMOVED\n");
    EXPECT_FALSE(velmora::ReaderOpen());
    fakepcsc::RemoveCard(reader);
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    EXPECT_EQ(shell.Pending(), 0u);  // the retired monitor has ended and posts nothing
    EXPECT_EQ(velmora::CurrentMonitor(), 0u);
}

TEST_F(MonitorTest, StaleEventsChangeNothing) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    uint32_t current = velmora::CurrentMonitor();
    CardEvent stale{CardEvent::Kind::Change, 2, true, current + 100, SCARD_STATE_EMPTY, 0};
    velmora::HandleCardEvent(stale);
    EXPECT_TRUE(velmora::CardPresent());
    EXPECT_EQ(velmora::CurrentMonitor(), current);
    EXPECT_EQ(dialog.log.find("REMOVED"), std::string::npos);
}

TEST_F(MonitorTest, ReopeningTheDialogNeverEndsTheEventChain) {
    ConnectServer();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    network.sent.clear();
    // The dialog closes and opens again: its context is replaced.
    velmora::SetConnectionDialog(nullptr);
    velmora::SetConnectionDialog(&dialog);
    velmora::FillReaderList(&dialog);
    fakepcsc::RemoveCard(reader);
    EXPECT_EQ(Next().code, 2);
    EXPECT_EQ(network.sent, "EVENT CARD REMOVED\n");
}

TEST_F(MonitorTest, WaitFailureIsShownWithOrWithoutACardHandle) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    const int waits = fakepcsc::StatusWaits();
    Open();
    // The Open's monitor must be waiting before the failure is set up, or its
    // own first wait fails and posts a stale event first.
    while (fakepcsc::StatusWaits() < waits + 2) std::this_thread::yield();
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    fakepcsc::Fail().statusChange = static_cast<LONG>(SCARD_E_NO_SERVICE);
    velmora::StartMonitor();  // a wait that fails at once
    CardEvent event = Next();
    EXPECT_EQ(event.kind, CardEvent::Kind::WaitFailed);
    EXPECT_EQ(dialog.status, "SCardGetStatusChange()=8010001D , The smart card resource manager is not running.");
    velmora::DisconnectCard();
    dialog.status.clear();
    velmora::StartMonitor();
    Next();
    EXPECT_EQ(dialog.status.rfind("SCardGetStatusChange()=8010001D , ", 0), 0u);
}

// The resource manager restarts under an open reader: the monitor says so,
// and closing and opening the reader again recovers without a restart.
TEST_F(MonitorTest, ReopeningTheReaderRecoversFromAResourceManagerRestart) {
    ConnectServer();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    fakepcsc::RestartService();
    EXPECT_EQ(Next().kind, CardEvent::Kind::WaitFailed);
    // Dead context or no service, depending on whether the wait had begun.
    EXPECT_EQ(dialog.status.rfind("SCardGetStatusChange()=801000", 0), 0u) << dialog.status;
    EXPECT_EQ(Run("TRANSMIT T1 00B00000").rfind("500 SCardTransmit()=80100003", 0), 0u);
    velmora::CloseReader(&dialog);
    shell.Deliver();
    network.sent.clear();
    velmora::OpenReader(&dialog);
    EXPECT_TRUE(velmora::CardPresent());
    shell.Deliver();
    EXPECT_EQ(network.sent, "EVENT CARD INSERTED\n");
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    fakepcsc::RemoveCard(reader);
    EXPECT_EQ(Next().code, 2);  // events flow again
}

TEST_F(MonitorTest, ChangeWithoutEdgeUpdatesTheStateAndKeepsWaiting) {
    Open();
    // Still no card, a new event count: no edge.
    fakepcsc::RemoveCard(reader);
    CardEvent event = Next();
    EXPECT_EQ(event.kind, CardEvent::Kind::StateOnly);
    EXPECT_EQ(velmora::g_card.readerState.dwCurrentState, static_cast<DWORD>(event.state));
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    EXPECT_EQ(Next().code, 1);
}

// A swap faster than the wait: the card is present before and after, only
// the count of card changes moved. The server hears both edges, and the
// handle of the card that left is dropped.
TEST_F(MonitorTest, SwapSeenOnlyInTheEventCountGivesRemovedThenInserted) {
    ConnectServer();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    Open();
    for (int swap = 0; swap < 3; ++swap) {
        EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
        network.sent.clear();
        fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);  // removed and inserted, counted as one
        EXPECT_EQ(Next().code, velmora::kCardSwapped);
        EXPECT_EQ(network.sent, "EVENT CARD REMOVED\nEVENT CARD INSERTED\n");
        EXPECT_EQ(velmora::g_card.card, 0u);
        EXPECT_TRUE(dialog.controls.cardPresent);
    }
    EXPECT_EQ(fakepcsc::Seen().openHandles, 0);
}

TEST(CardEdge, MovedCountWithACardOnBothSidesIsASwap) {
    const unsigned long present = SCARD_STATE_PRESENT;
    const unsigned long empty = SCARD_STATE_EMPTY;
    struct Case {
        unsigned long before, after;
        int code;
    } cases[] = {
        {present | 0x10000, present | 0x30000, velmora::kCardSwapped},
        {present | 0x10000, present | SCARD_STATE_INUSE | 0x20000, velmora::kCardSwapped},
        {present | 0x10000, present | SCARD_STATE_INUSE | 0x10000, 0},
        {present, present | 0x30000, 0},  // no count to compare with
        {empty | 0x10000, empty | 0x30000, 0},
        {present | 0x10000, empty | 0x20000, 2},
        {empty | 0x20000, present | 0x30000, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(velmora::CardEdge(c.before, c.after), c.code) << std::hex << c.before << " " << c.after;
    }
}

// A resource manager that never releases the wait must not hang Close:
// the retire gives up after its bound and the thread ends by itself later.
TEST_F(MonitorTest, RetireGivesUpOnAWaitThatIgnoresTheCancel) {
    velmora::SetMonitorRetireBound(std::chrono::milliseconds(100));
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    const int waits = fakepcsc::StatusWaits();
    Open();
    while (fakepcsc::StatusWaits() < waits + 2) std::this_thread::yield();  // Open's, monitor's
    fakepcsc::IgnoreCancel(true);
    auto before = std::chrono::steady_clock::now();
    velmora::CloseReader(&dialog);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(velmora::LiveMonitorThreads(), 1);
    shell.Deliver();
    velmora::OpenReader(&dialog);  // a new monitor beside the one left behind
    shell.Deliver();
    EXPECT_EQ(velmora::LiveMonitorThreads(), 2);

    fakepcsc::IgnoreCancel(false);
    fakepcsc::RemoveCard(reader);  // wakes both waits
    EXPECT_EQ(Next().code, 2);     // from the current monitor only
    while (velmora::LiveMonitorThreads() > 1) std::this_thread::yield();
    EXPECT_EQ(shell.Pending(), 0u);
    velmora::SetMonitorRetireBound(std::chrono::milliseconds(2000));
}

} // namespace
