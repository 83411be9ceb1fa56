#include "fixture.h"

namespace {

using velmora::LogInsert;
using velmora::LogTrim;
using velmora::ShowStatus;

class StatusTest : public CoreTest {};

TEST_F(StatusTest, StatusTextIsCutAt1999Characters) {
    std::string text(1999, 'x');
    ShowStatus(&dialog, "%s", text.c_str());
    EXPECT_EQ(dialog.status.size(), 1999u);
    ShowStatus(&dialog, "%sy", text.c_str());
    EXPECT_EQ(dialog.status, text);
}

TEST_F(StatusTest, ClosedDialogDropsEveryWrite) {
    velmora::SetConnectionDialog(nullptr);
    ShowStatus(velmora::ConnectionDialog(), "lost");
    LogInsert(0, "lost\r\n");
    LogTrim();
    velmora::SetConnectionDialog(&dialog);
    EXPECT_EQ(dialog.statusWrites, 0);
    EXPECT_TRUE(dialog.log.empty());
}

TEST_F(StatusTest, LogKeepsOneHundredLinesBelowTheNewestEntry) {
    for (int i = 0; i < 150; ++i) {
        LogTrim();
        LogInsert(0, ("line " + std::to_string(i) + "\r\n").c_str());
    }
    EXPECT_EQ(dialog.log.rfind("line 149\r\n", 0), 0u);
    size_t lines = 0;
    for (char c : dialog.log) lines += c == '\n';
    EXPECT_EQ(lines, 101u);  // the newest and the hundred trimmed before it
    EXPECT_NE(dialog.log.find("line 49\r\n"), std::string::npos);
    EXPECT_EQ(dialog.log.find("line 48\r\n"), std::string::npos);
}

TEST(SystemMessageText, OneLineTextCutToItsBuffer) {
    char text[1000];
    velmora::SystemMessageText(0x8010000Cu, text, sizeof text);
    EXPECT_STREQ(text, "The operation requires a smart card, but no smart card is currently in the device.");
    char small[10];
    velmora::SystemMessageText(0x8010000Cu, small, sizeof small);
    EXPECT_STREQ(small, "The opera");
    velmora::SystemMessageText(10061u, text, sizeof text);
    EXPECT_STREQ(text, "No connection could be made because the target machine actively refused it.");
    velmora::SystemMessageText(0x12345678u, text, sizeof text);
    EXPECT_STREQ(text, "Unknown status 0x12345678.");
}

TEST(FormatReply, CutAt998Characters) {
    char reply[1000];
    std::memset(reply, 'Z', sizeof reply);
    std::string text(1500, 'r');
    velmora::FormatReply(reply, "500 %s", text.c_str());
    EXPECT_EQ(std::strlen(reply), 998u);
    EXPECT_EQ(reply[999], 'Z');  // nothing written past the reply line's buffer
}

} // namespace
