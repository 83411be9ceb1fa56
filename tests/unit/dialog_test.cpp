#include "client_fixture.h"
#include "reader/readers.h"
#include "ui/dialog.h"

namespace {

using velmora::ComputeControlStates;
using velmora::ControlStates;

TEST(EnableRules, ServerSideFollowsLinkStateAndFields) {
    struct Case {
        bool hostEmpty;
        const char* port;
        int link;
        bool fields, connect, disconnect;
    };
    const Case cases[] = {
        {false, "9688", 0, true, true, false},   {true, "9688", 0, true, false, false},
        {false, "0", 0, true, false, false},     {false, "-1", 0, true, false, false},
        {false, "abc", 0, true, false, false},   {false, "", 0, true, false, false},
        {false, "65535", 0, true, true, false},  {false, "65536", 0, true, false, false},
        {false, "70000", 0, true, false, false}, {false, " 12x", 0, true, true, false},
        {false, "99999999999999999999", 0, true, false, false},
        {false, "9688", 1, false, false, false}, {false, "9688", 2, false, false, false},
        {false, "9688", 3, false, false, true},  {false, "9688", 57, false, false, true},
    };
    for (const Case& c : cases) {
        ControlStates s = ComputeControlStates(c.hostEmpty, c.port, c.link, 0, 0, false, 0);
        EXPECT_EQ(s.hostEnabled, c.fields) << c.port << " link " << c.link;
        EXPECT_EQ(s.portEnabled, c.fields) << c.port << " link " << c.link;
        EXPECT_EQ(s.connectEnabled, c.connect) << c.port << " link " << c.link;
        EXPECT_EQ(s.disconnectEnabled, c.disconnect) << c.port << " link " << c.link;
    }
}

TEST(EnableRules, ReaderSideFollowsTheCurrentStateWord) {
    ControlStates none = ComputeControlStates(false, "1", 0, 0, 0, false, 0);
    EXPECT_TRUE(none.readerListEnabled);
    EXPECT_FALSE(none.openEnabled);  // "<no reader selected>" never enables Open
    EXPECT_TRUE(ComputeControlStates(false, "1", 0, 1, 0, false, 0).openEnabled);
    ControlStates empty = ComputeControlStates(false, "1", 0, 1, SCARD_STATE_EMPTY, false, 0);
    EXPECT_FALSE(empty.readerListEnabled);
    EXPECT_FALSE(empty.openEnabled);
    EXPECT_TRUE(empty.closeEnabled);
    EXPECT_FALSE(empty.cardPresent);
    ControlStates card = ComputeControlStates(false, "1", 0, 1, SCARD_STATE_PRESENT, true, 2);
    EXPECT_TRUE(card.cardPresent);
    EXPECT_STREQ(card.protocol, "T1");
    EXPECT_STREQ(ComputeControlStates(false, "1", 0, 1, SCARD_STATE_PRESENT, true, 1).protocol, "T0");
    EXPECT_STREQ(ComputeControlStates(false, "1", 0, 1, SCARD_STATE_PRESENT, false, 2).protocol, "");
    EXPECT_STREQ(ComputeControlStates(false, "1", 0, 1, SCARD_STATE_EMPTY, true, 0).protocol, "");
}

using ReaderListTest = ClientCoreTest;

TEST_F(ReaderListTest, OpeningTheDialogQueuesOpenBeforeConnect) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.readers, (std::vector<std::string>{"<no reader selected>", kReaderName}));
    EXPECT_EQ(dialog.selected, 1);
    EXPECT_EQ(dialog.posted, (std::vector<int>{velmora::kIdOpen, velmora::kIdConnect}));
    EXPECT_EQ(dialog.host, "localhost");
    EXPECT_EQ(dialog.port, "9688");
}

TEST_F(ReaderListTest, FirstT1CardIsChosenAndLaterReadersAreNotProbed) {
    int second = fakepcsc::AddReader("Sim Reader 1");
    int third = fakepcsc::AddReader("Sim Reader 2");
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T0);
    fakepcsc::InsertCard(second, SCARD_PROTOCOL_T1);
    fakepcsc::InsertCard(third, SCARD_PROTOCOL_T1);
    velmora::FillReaderList(&dialog);
    EXPECT_EQ(dialog.selected, 2);
    EXPECT_EQ(fakepcsc::Seen().sharedConnects, 2);
    EXPECT_EQ(fakepcsc::Seen().openHandles, 0);  // probes leave nothing open
}

TEST_F(ReaderListTest, LastOpenedReaderIsSelectedButNotOpened) {
    int second = fakepcsc::AddReader("Sim Reader 1");
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    std::snprintf(velmora::g_card.readerName, sizeof velmora::g_card.readerName, "Sim Reader 1");
    (void)second;
    velmora::FillReaderList(&dialog);
    EXPECT_EQ(dialog.selected, 2);
    EXPECT_TRUE(dialog.posted.empty());
}

TEST_F(ReaderListTest, NoReadersAndNoContext) {
    fakepcsc::Reset();
    velmora::FillReaderList(&dialog);
    EXPECT_EQ(dialog.readers, (std::vector<std::string>{"<no reader selected>"}));
    EXPECT_TRUE(dialog.posted.empty());
    fakepcsc::Fail().establish = static_cast<LONG>(SCARD_E_NO_SERVICE);
    velmora::g_card.context = 0;
    dialog.readers.clear();
    velmora::FillReaderList(&dialog);
    EXPECT_TRUE(dialog.readers.empty());
    EXPECT_EQ(dialog.errorBoxes, (std::vector<std::string>{"Fehlermeldung: SCardEstablishContext() failed"}));
}

TEST_F(ReaderListTest, ContextIsKeptWhileACardConnectionIsHeld) {
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    velmora::FillReaderList(&dialog);
    velmora::OpenReader(&dialog);
    shell.Deliver();
    EXPECT_EQ(Run("TRANSMIT T1 00B00000"), "200 TRANSMIT SUCCESS");
    SCARDCONTEXT before = velmora::g_card.context;
    velmora::FillReaderList(&dialog);
    EXPECT_EQ(velmora::g_card.context, before);
    velmora::DisconnectCard();
    velmora::FillReaderList(&dialog);
    EXPECT_NE(velmora::g_card.context, before);
}

TEST_F(ReaderListTest, OverlongReaderNameIsRefused) {
    std::string name(120, 'R');
    fakepcsc::AddReader(name.c_str());
    velmora::FillReaderList(&dialog);
    dialog.selected = 2;
    velmora::OpenReader(&dialog);
    EXPECT_FALSE(velmora::ReaderOpen());
    EXPECT_EQ(dialog.status.rfind("Lesername zu lang", 0), 0u);
    EXPECT_EQ(shell.Pending(), 0u);
}

} // namespace
