#include "fixture.h"

#include <vector>

namespace {

using fakepcsc::Seen;
using velmora::ConnectCard;
using velmora::FeatureTable;
using velmora::g_card;

class CardTest : public CoreTest {};

TEST_F(CardTest, CardConnectionReportsTheNegotiatedProtocol) {
    OpenReader(true, SCARD_PROTOCOL_T1);
    ConnectCard(false);
    EXPECT_EQ(dialog.status, "Karte in 'Sim Reader 0' wurde ge\xF6" "ffnet, Prot=00000002");
    EXPECT_EQ(g_card.activeProtocol, static_cast<uint32_t>(SCARD_PROTOCOL_T1));
    velmora::DisconnectCard();
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T0);
    ConnectCard(true);
    EXPECT_EQ(dialog.status, "Karte in 'Sim Reader 0' wurde ge\xF6" "ffnet, Prot=00000001");
    EXPECT_EQ(Seen().directConnects, 0);
}

TEST_F(CardTest, DirectConnectionOnlyWhenAllowedAndNoCard) {
    OpenReader(false);
    ConnectCard(false);
    EXPECT_EQ(g_card.card, 0u);
    EXPECT_EQ(Seen().directConnects + Seen().sharedConnects, 0);
    ConnectCard(true);
    EXPECT_NE(g_card.card, 0u);
    EXPECT_EQ(g_card.activeProtocol, 0u);
    EXPECT_EQ(dialog.status, "Leser 'Sim Reader 0' wurde ge\xF6" "ffnet");
}

TEST_F(CardTest, RefusedSharedConnectIsNotReplacedByADirectOne) {
    OpenReader(true);
    fakepcsc::Fail().sharedConnect = static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
    g_card.features = FeatureTable{1, 2, 3, 4};
    ConnectCard(true);
    EXPECT_EQ(g_card.card, 0u);
    EXPECT_EQ(Seen().directConnects, 0);
    EXPECT_EQ(dialog.status,
              "SCardConnect()=8010000B, The smart card cannot be accessed because of other "
              "connections outstanding.");
    EXPECT_EQ(g_card.features.abort, 4u);  // a failed connect leaves the table alone
    EXPECT_EQ(Run("GET_ATTRIBUTE VENDOR_NAME"), "200 GET_ATTRIBUTE NO_MEDIA");
}

TEST_F(CardTest, ReaderNameSurvivesCloseForReaderLevelCommands) {
    OpenReader(false);
    g_card.readerState = SCARD_READERSTATEA{};  // as Close leaves it
    EXPECT_EQ(Run("IOCTL 1"), "200 IOCTL SUCCESS");
    EXPECT_STREQ(Seen().lastConnectReader, kReaderName);
}

TEST_F(CardTest, FeatureDiscoveryOnEveryConnect) {
    OpenReader(true);
    const uint8_t answer[] = {0x01, 4, 0x42, 0x33, 0x00, 0x01, 0x02, 4, 0x42, 0x33, 0x00, 0x02,
                              0x05, 4, 0x42, 0x33, 0x00, 0x05, 0x0B, 4, 0x42, 0x33, 0x00, 0x0B};
    fakepcsc::SetFeatureAnswer(answer, sizeof answer);
    ConnectCard(false);
    EXPECT_EQ(g_card.features.verifyPinStart, 0x42330001u);
    EXPECT_EQ(g_card.features.verifyPinFinish, 0x42330002u);
    EXPECT_EQ(g_card.features.getKeyPressed, 0x42330005u);
    EXPECT_EQ(g_card.features.abort, 0x4233000Bu);

    velmora::DisconnectCard();
    fakepcsc::Fail().featureRequest = static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE);
    ConnectCard(false);
    EXPECT_NE(g_card.card, 0u);  // the connection is kept without features
    EXPECT_EQ(g_card.features.verifyPinStart, 0u);
    EXPECT_EQ(g_card.features.abort, 0u);
}

struct FeatureCase {
    const char* what;
    std::vector<uint8_t> answer;
    FeatureTable expected;
};

TEST(FeatureAnswer, OnlyWholeEntriesAndCompletePinSetsCount) {
    const FeatureCase cases[] = {
        {"empty", {}, {0, 0, 0, 0}},
        {"17 bytes: two entries, the partial third ignored",
         {0x0B, 4, 0, 0, 0, 0x11, 0x0B, 4, 0, 0, 0, 0x22, 0x01, 4, 0, 0, 0},
         {0, 0, 0, 0x22}},
        {"five bytes are no entry", {0x0B, 4, 0, 0, 0}, {0, 0, 0, 0}},
        {"start and finish without key-pressed are dropped",
         {0x01, 4, 0, 0, 0, 1, 0x02, 4, 0, 0, 0, 2},
         {0, 0, 0, 0}},
        {"later duplicates win; direct verify ignored",
         {0x01, 4, 0, 0, 0, 1, 0x02, 4, 0, 0, 0, 2, 0x05, 4, 0, 0, 0, 5, 0x01, 4, 0, 0, 0, 9,
          0x06, 4, 0, 0, 0, 6},
         {9, 2, 5, 0}},
        {"a zero code counts as absent", {0x01, 4, 0, 0, 0, 1, 0x02, 4, 0, 0, 0, 2, 0x05, 4, 0, 0, 0, 0},
         {0, 0, 0, 0}},
        {"most significant byte first", {0x0B, 4, 0x12, 0x34, 0x56, 0x78}, {0, 0, 0, 0x12345678}},
    };
    for (const FeatureCase& c : cases) {
        FeatureTable table{7, 7, 7, 7};
        velmora::ParseFeatureAnswer(c.answer.data(), c.answer.size(), &table);
        EXPECT_EQ(table.verifyPinStart, c.expected.verifyPinStart) << c.what;
        EXPECT_EQ(table.verifyPinFinish, c.expected.verifyPinFinish) << c.what;
        EXPECT_EQ(table.getKeyPressed, c.expected.getKeyPressed) << c.what;
        EXPECT_EQ(table.abort, c.expected.abort) << c.what;
    }
}

TEST_F(CardTest, OverlongFeatureAnswerIsReadOnlyWithinTheBuffer) {
    OpenReader(true);
    std::vector<uint8_t> answer;
    for (int i = 0; i < 20; ++i) answer.insert(answer.end(), {0x0B, 4, 0, 0, 0, static_cast<uint8_t>(i + 1)});
    fakepcsc::SetFeatureAnswer(answer.data(), answer.size());  // claims 120 bytes
    ConnectCard(false);
    EXPECT_EQ(g_card.features.abort, 16u);  // the 16th entry is the last in 100 bytes
}

} // namespace
