#include "client_fixture.h"
#include "link/reconnect.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using velmora::g_link;

class FakeTimer : public velmora::ReconnectTimer {
public:
    std::vector<uint32_t> starts;
    bool running = false;
    void StartReconnectTimer(uint32_t ms) override {
        starts.push_back(ms);
        running = true;
    }
    void StopReconnectTimer() override { running = false; }
    // The shell's timer running out.
    void Fire() {
        ASSERT_TRUE(running);
        running = false;
        velmora::ReconnectTimerFired();
    }
};

class ReconnectTest : public ClientCoreTest {
protected:
    FakeTimer timer;

    void Use(uint32_t seconds) {
        velmora::SetReconnectTimer(&timer);
        velmora::SetReconnectInterval(seconds);
    }
    void Greeted() {
        ConnectServer();
        network.incoming.push_back("HELLO");
        velmora::LinkSocketEvent(false, 0);
    }
    void ServerCloses() { velmora::LinkSocketEvent(true, 0); }
    // The timer fires; the lookup of the same host completes or fails.
    void Retry(bool lookupOk, unsigned long connectError) {
        timer.Fire();
        ASSERT_EQ(g_link.state, 1);
        velmora::HostEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "localhost");
        velmora::ParseNumericHost("127.0.0.1", &entry.address);
        velmora::LinkLookupDone(lookupOk ? 0ul : static_cast<unsigned long>(velmora::kSocketHostNotFound), lookupOk ? &entry : nullptr);
        if (lookupOk) velmora::LinkConnectDone(connectError);
    }
};

TEST_F(ReconnectTest, OffByDefault) {
    velmora::SetReconnectTimer(&timer);
    Greeted();
    ServerCloses();
    EXPECT_TRUE(timer.starts.empty());
    EXPECT_EQ(dialog.status, "Verbindung wurde durch Gegenseite geschlossen.");
    EXPECT_FALSE(dialog.controls.disconnectEnabled);
}

TEST_F(ReconnectTest, WaitDoublesUpToAMinuteAndResetsOnceConnected) {
    Use(5);
    Greeted();
    ServerCloses();
    EXPECT_EQ(dialog.status, "Verbindung wurde durch Gegenseite geschlossen.\nN\xE4" "chster Verbindungsversuch in 5 s");
    EXPECT_TRUE(dialog.controls.disconnectEnabled);  // stops the waiting retry
    Retry(false, 0);                                 // lookup fails
    EXPECT_EQ(dialog.status, "Namensaufl\xF6sung gescheitert\nN\xE4" "chster Verbindungsversuch in 10 s");
    Retry(true, velmora::kSocketConnectionRefused);  // refused
    Retry(true, velmora::kSocketConnectionRefused);
    Retry(true, velmora::kSocketConnectionRefused);
    Retry(true, velmora::kSocketConnectionRefused);
    EXPECT_EQ(timer.starts, (std::vector<uint32_t>{5000, 10000, 20000, 40000, 60000, 60000}));
    Retry(true, 0);  // the server is back
    EXPECT_EQ(g_link.state, 3);
    EXPECT_FALSE(timer.running);
    network.incoming.push_back("HELLO");
    velmora::LinkSocketEvent(false, 0);
    network.incoming.push_back("CARD");
    velmora::LinkSocketEvent(false, 0);
    EXPECT_EQ(network.sent, "200 CARD ABSENT\n");  // answered as on a fresh connect
    ServerCloses();
    EXPECT_EQ(timer.starts.back(), 5000u);
}

TEST_F(ReconnectTest, EveryWayTheLinkEndsByItselfSchedulesATry) {
    struct Case {
        const char* what;
        void (*end)(FakeNetwork&);
    };
    const Case cases[] = {
        {"read failed", [](FakeNetwork&) { velmora::LinkSocketEvent(true, velmora::kSocketConnectionReset); }},
        {"send failed",
         [](FakeNetwork& n) {
             n.sendFails = true;
             n.incoming.push_back("CARD");
             velmora::LinkSocketEvent(false, 0);
             n.sendFails = false;
         }},
        {"command behind the close",
         [](FakeNetwork& n) {
             n.peerEnded = true;
             n.incoming.push_back("CARD");
             velmora::LinkSocketEvent(false, 0);
             n.peerEnded = false;
         }},
        {"lookup not started",
         [](FakeNetwork& n) {
             velmora::CloseServerConnection(velmora::ConnectionDialog());
             n.lookupStarts = false;
             velmora::ConnectionDialogCommand(velmora::ConnectionDialog(), velmora::kIdConnect, 0);
             n.lookupStarts = true;
         }},
    };
    for (const Case& c : cases) {
        timer.starts.clear();
        Use(2);
        Greeted();
        c.end(network);
        EXPECT_EQ(g_link.state, 0) << c.what;
        EXPECT_EQ(timer.starts, std::vector<uint32_t>{2000}) << c.what;
        velmora::CloseServerConnection(&dialog);
    }
}

TEST_F(ReconnectTest, DisconnectStopsTheRetriesUntilConnect) {
    Use(3);
    Greeted();
    ServerCloses();
    ASSERT_TRUE(timer.running);
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdDisconnect, 0);
    EXPECT_FALSE(timer.running);
    EXPECT_FALSE(velmora::ReconnectPending());
    EXPECT_FALSE(dialog.controls.disconnectEnabled);
    velmora::ReconnectTimerFired();  // a late expiry changes nothing
    EXPECT_EQ(g_link.state, 0);
    ConnectServer();  // Connect pressed: retries again
    ServerCloses();
    EXPECT_EQ(timer.starts, (std::vector<uint32_t>{3000, 3000}));
}

TEST_F(ReconnectTest, AConnectByTheUserCancelsTheWaitingTry) {
    Use(3);
    Greeted();
    ServerCloses();
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    EXPECT_FALSE(timer.running);
    EXPECT_EQ(g_link.state, 1);
}

TEST_F(ReconnectTest, AnIntervalAboveAMinuteStaysAsItIs) {
    Use(90);
    Greeted();
    ServerCloses();
    Retry(false, 0);
    EXPECT_EQ(timer.starts, (std::vector<uint32_t>{90000, 90000}));
}

TEST_F(ReconnectTest, WithTheDialogClosedTheTryUsesTheLastHostAndPort) {
    Use(1);
    Greeted();
    velmora::SetConnectionDialog(nullptr);
    ServerCloses();
    timer.Fire();
    EXPECT_EQ(network.calls.back(), "name localhost");
    velmora::SetConnectionDialog(&dialog);
}

} // namespace
