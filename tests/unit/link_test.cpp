#include "client_fixture.h"
#include "link/address.h"
#include "ui/dialog.h"

namespace {

using velmora::g_link;

class LinkTest : public ClientCoreTest {
protected:
    void Connect() { ConnectServer(); }
    void Receive(const std::string& data) {
        network.incoming.push_back(data);
        velmora::LinkSocketEvent(false, 0);
    }
};

TEST_F(LinkTest, FirstReadIsOnlyLoggedThenEveryReadIsAnswered) {
    Connect();
    EXPECT_EQ(g_link.state, 3);
    EXPECT_EQ(dialog.status, "Verbindung erfolgreich aufgebaut.");
    EXPECT_TRUE(dialog.controls.disconnectEnabled);
    Receive("HELLO server\r\n");
    EXPECT_EQ(network.sent, "");
    EXPECT_EQ(dialog.status, "Datenpaket 0 der L\xE4nge 14 erhalten");
    EXPECT_EQ(dialog.log, "HELLO server\r\n");
    Receive("STATE\n");
    EXPECT_EQ(network.sent, "200 STATE SUCCESS ABSENT\n");
    EXPECT_EQ(dialog.status, "Datenpaket 2: STATE\nAntwortpaket: 200 STATE SUCCESS ABSENT");
    EXPECT_EQ(dialog.log, "STATE => 200 STATE SUCCESS ABSENT\r\nHELLO server\r\n");
}

TEST_F(LinkTest, ReadsAreNotFramed) {
    Connect();
    Receive("hello");
    Receive("STATE\nCARD\n");
    EXPECT_EQ(network.sent, "500 command has invalid character 0x0A at position 5\n");
    Receive(" \t\r\n");
    EXPECT_EQ(network.sent.substr(network.sent.find('\n') + 1), "500 invalid command ''\n");
    std::string longLine(1500, 'A');
    network.sent.clear();
    Receive(longLine);  // two reads: 999 bytes, then the rest
    velmora::LinkSocketEvent(false, 0);
    EXPECT_EQ(network.sent, "500 invalid command 'AAAAAAAAAAAAAAAAAAAA'\n"
                            "500 invalid command 'AAAAAAAAAAAAAAAAAAAA'\n");
}

TEST_F(LinkTest, CounterStopsAtItsTopAndTheLinkGoesOnAnswering) {
    Connect();
    Receive("hello");
    g_link.state = INT32_MAX - 1;
    Receive("CARD");
    Receive("CARD");
    EXPECT_EQ(g_link.state, INT32_MAX);
    EXPECT_EQ(network.sent, "200 CARD ABSENT\n200 CARD ABSENT\n");
    EXPECT_TRUE(dialog.controls.disconnectEnabled);
}

TEST_F(LinkTest, NulByteEndsTheLineForTheLogToo) {
    Connect();
    Receive("hello");
    Receive(std::string("STATE\0XYZ", 9));
    EXPECT_EQ(network.sent, "200 STATE SUCCESS ABSENT\n");
    EXPECT_EQ(dialog.log, "STATE => 200 STATE SUCCESS ABSENT\r\nhello\r\n");
}

TEST_F(LinkTest, DecryptMarkerOnlyForTheExactLowerCaseCommand) {
    OpenReader(true);
    std::string answer(128, '\x11');
    answer += std::string("\x90\x00", 2);
    fakepcsc::SetTransmitAnswer(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    Connect();
    Receive("hello");
    Receive("TRANSMIT T1 002A808400");
    EXPECT_EQ(dialog.log.find("Decrypt APDU OK"), std::string::npos);
    Receive("TRANSMIT T1 002a808400");
    EXPECT_EQ(dialog.log.rfind("Decrypt APDU OK\r\nTRANSMIT T1 002a808400 => 200 TRANSMIT SUCCESS ", 0), 0u);
}

TEST_F(LinkTest, EveryEndReturnsToIdleWithItsStatusText) {
    Connect();
    velmora::LinkSocketEvent(true, 0);
    EXPECT_EQ(g_link.state, 0);
    EXPECT_EQ(dialog.status, "Verbindung wurde durch Gegenseite geschlossen.");
    EXPECT_TRUE(dialog.controls.connectEnabled);

    Connect();
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdDisconnect, 0);
    EXPECT_EQ(g_link.state, 0);
    EXPECT_EQ(dialog.status, "Verbindung geschlossen");
    EXPECT_EQ(shell.pinDialogsDestroyed, 1);

    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    velmora::HostEntry entry{};
    velmora::LinkLookupDone(0, &entry);
    velmora::LinkConnectDone(velmora::kSocketConnectionRefused);
    EXPECT_EQ(g_link.state, 0);
    EXPECT_EQ(dialog.status, "Connect(): No connection could be made because the target machine "
                             "actively refused it.");

    dialog.host = "no.such.host";
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    EXPECT_EQ(dialog.status, "Namensaufl\xF6sung f\xFCr 'no.such.host'");
    velmora::LinkLookupDone(velmora::kSocketHostNotFound, nullptr);
    EXPECT_EQ(dialog.status, "Namensaufl\xF6sung gescheitert");
    EXPECT_EQ(g_link.state, 0);

    network.connectStart = velmora::ConnectStart::SocketFailed;
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    velmora::LinkLookupDone(0, &entry);
    EXPECT_EQ(dialog.status, "Socket() failed in WM_CREATE");
    EXPECT_EQ(g_link.state, 0);
}

TEST_F(LinkTest, NumericHostConnectsEvenWhenItsReverseLookupFails) {
    dialog.host = "127.0.0.1";
    dialog.port = "70000";  // refused by the enable rules
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    EXPECT_EQ(g_link.state, 0);
    dialog.port = "4464";
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    EXPECT_EQ(dialog.status, "Namensaufl\xF6sung f\xFCr Adresse 127.0.0.1");
    velmora::LinkLookupDone(velmora::kSocketHostNotFound, nullptr);
    EXPECT_EQ(g_link.state, 2);
    EXPECT_EQ(network.connectPort, 4464);
    EXPECT_EQ(dialog.status, "Starte Verbindungsaufbau mit 127.0.0.1 (127.0.0.1), Port 4464");
}

TEST_F(LinkTest, LookupThatCannotStartGivesTheControlsBack) {
    network.lookupStarts = false;
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    EXPECT_EQ(g_link.state, 0);
    EXPECT_EQ(dialog.status, "Namensaufl\xF6sung konnte nicht gestartet werden");
    EXPECT_TRUE(dialog.controls.hostEnabled);
    EXPECT_TRUE(dialog.controls.portEnabled);
    EXPECT_TRUE(dialog.controls.connectEnabled);
    EXPECT_FALSE(dialog.controls.disconnectEnabled);
}

TEST_F(LinkTest, FailedSendEndsTheConnection) {
    Connect();
    Receive("hello");
    network.sendFails = true;
    Receive("STATE");
    EXPECT_EQ(g_link.state, 0);
    EXPECT_EQ(dialog.status, "An existing connection was forcibly closed by the remote host.");
}

TEST_F(LinkTest, ConnectIsDroppedWhileTheButtonIsOff) {
    Connect();
    network.calls.clear();
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);  // a reopened dialog's auto-connect
    EXPECT_TRUE(network.calls.empty());
    EXPECT_EQ(g_link.state, 3);
}

TEST_F(LinkTest, ClosedDialogStillAnswers) {
    Connect();
    Receive("hello");
    velmora::SetConnectionDialog(nullptr);
    Receive("CARD");
    EXPECT_EQ(network.sent, "200 CARD ABSENT\n");
    EXPECT_EQ(dialog.log, "hello\r\n");
}

// A command read together with the server's close (its reply time-out
// passed while the client was stopped) must never reach the card.
TEST_F(LinkTest, CommandWithTheCloseBehindItIsNeitherRunNorAnswered) {
    const char* commands[] = {"TRANSMIT T1 002A808600", "CONTROL 3136B0 00", "GET_ATTRIBUTE ATR_STRING",
                              "CARD", "STATE"};
    OpenReader(true);
    for (const char* command : commands) {
        Connect();
        Receive("hello");
        const fakepcsc::Calls before = fakepcsc::Seen();
        network.peerEnded = true;
        network.sent.clear();
        Receive(command);
        EXPECT_EQ(network.sent, "") << command;
        EXPECT_EQ(fakepcsc::Seen().transmits, before.transmits) << command;
        EXPECT_EQ(fakepcsc::Seen().controls, before.controls) << command;
        EXPECT_EQ(fakepcsc::Seen().getAttribs, before.getAttribs) << command;
        EXPECT_EQ(g_link.state, 0) << command;
        EXPECT_EQ(dialog.status, "Verbindung wurde durch Gegenseite geschlossen.") << command;
        EXPECT_EQ(dialog.log.rfind(std::string(command) + " => nicht ausgef\xFChrt: Verbindung beendet\r\n", 0), 0u);
        network.peerEnded = false;
    }
}

TEST_F(LinkTest, DataWaitingBehindACommandIsNoEnd) {
    Connect();
    Receive("hello");
    network.peerEnded = true;
    network.incoming.push_back("STATE");
    network.incoming.push_back("CARD");
    velmora::LinkSocketEvent(false, 0);  // STATE, with CARD still waiting
    EXPECT_EQ(network.sent, "200 STATE SUCCESS ABSENT\n");
    EXPECT_EQ(g_link.state, 5);
    velmora::LinkSocketEvent(false, 0);  // CARD, and then only the close
    EXPECT_EQ(network.sent, "200 STATE SUCCESS ABSENT\n");
    EXPECT_EQ(g_link.state, 0);
}

TEST_F(LinkTest, EveryConnectionMadeGetsTheKeepaliveOnce) {
    network.connectError = velmora::kSocketConnectionRefused;
    velmora::ConnectionDialogCommand(&dialog, velmora::kIdConnect, 0);
    velmora::HostEntry entry{};
    velmora::LinkLookupDone(0, &entry);
    velmora::LinkConnectDone(velmora::kSocketConnectionRefused);
    EXPECT_TRUE(network.keepalives.empty());  // no connection, nothing to keep alive
    Connect();
    velmora::SetKeepaliveTimers(velmora::KeepaliveWithin(3000));
    velmora::LinkSocketEvent(true, 0);
    Connect();
    ASSERT_EQ(network.keepalives.size(), 2u);
    EXPECT_EQ(network.keepalives[0].userTimeoutMs, 30000u);
    EXPECT_EQ(network.keepalives[1].userTimeoutMs, 3000u);
    velmora::ResetLink();
    EXPECT_EQ(velmora::CurrentKeepaliveTimers().idleMs, velmora::kDefaultKeepalive.idleMs);
}

struct KeepaliveCase {
    uint32_t totalMs;
    velmora::KeepaliveTimers timers;
};

TEST(Keepalive, TimersFindADeadPathWithinTheTotal) {
    const KeepaliveCase cases[] = {
        {30000, {10000, 5000, 4, 30000}},
        {6000, {2000, 1000, 4, 6000}},
        {3000, {1000, 1000, 4, 3000}},  // a second per step at least
        {0, {1000, 1000, 4, 1000}},
        {UINT32_MAX, {UINT32_MAX / 3, UINT32_MAX / 6, 4, UINT32_MAX}},
    };
    for (const KeepaliveCase& c : cases) {
        velmora::KeepaliveTimers t = velmora::KeepaliveWithin(c.totalMs);
        EXPECT_EQ(t.idleMs, c.timers.idleMs) << c.totalMs;
        EXPECT_EQ(t.intervalMs, c.timers.intervalMs) << c.totalMs;
        EXPECT_EQ(t.probes, c.timers.probes) << c.totalMs;
        EXPECT_EQ(t.userTimeoutMs, c.timers.userTimeoutMs) << c.totalMs;
    }
    const velmora::KeepaliveTimers& d = velmora::kDefaultKeepalive;
    EXPECT_LE(d.idleMs + d.probes * d.intervalMs, 30000u);
}

struct AddressCase {
    const char* text;
    bool numeric;
    const char* dotted;
};

TEST(NumericHost, ReadsTheFormsInetAddrReads) {
    const AddressCase cases[] = {
        {"127.0.0.1", true, "127.0.0.1"}, {"127.1", true, "127.0.0.1"},
        {"10.1.2", true, "10.1.0.2"},     {"0x7f.1", true, "127.0.0.1"},
        {"017.0.0.1", true, "15.0.0.1"},  {"2130706433", true, "127.0.0.1"},
        {"localhost", false, ""},         {"1.2.3.4.5", false, ""},
        {"256.0.0.1", false, ""},         {"1.2.3.256", false, ""},
        {"", false, ""},                  {"255.255.255.255", false, ""},
        {"08.1.1.1", false, ""},          {"1..2", false, ""},
    };
    for (const AddressCase& c : cases) {
        uint32_t address = 0;
        EXPECT_EQ(velmora::ParseNumericHost(c.text, &address), c.numeric) << c.text;
        if (!c.numeric) continue;
        char dotted[16];
        velmora::FormatDotted(address, dotted, sizeof dotted);
        EXPECT_STREQ(dotted, c.dotted) << c.text;
    }
}

} // namespace
