#include "ui/dialog_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using velmora::DialogText;
using velmora::kLogTextCapacity;

// Large: kept off the stack.
std::unique_ptr<DialogText> Fresh() { return std::make_unique<DialogText>(); }

TEST(DialogText, InsertsWhereTheLinkWritesACommandAndItsReply) {
    struct Step { size_t position; const char* text; const char* log; };
    const Step steps[] = {
        {0, "STATE", "STATE"},
        {5, "\r\n", "STATE\r\n"},
        {5, " => ", "STATE => \r\n"},
        {9, "200 OK", "STATE => 200 OK\r\n"},
        {0, "EVENT CARD INSERTED\r\n", "EVENT CARD INSERTED\r\nSTATE => 200 OK\r\n"},
        {1000, "tail", "EVENT CARD INSERTED\r\nSTATE => 200 OK\r\ntail"},  // past the end: at the end
    };
    auto text = Fresh();
    for (const Step& s : steps) {
        text->InsertLog(s.position, s.text);
        EXPECT_EQ(std::string(text->Log()), s.log) << s.text;
        EXPECT_EQ(text->LogLength(), std::string(s.log).size());
    }
}

TEST(DialogText, LineStartsAndCut) {
    auto text = Fresh();
    text->InsertLog(0, "c\r\nbb\r\na\r\n");
    struct Case { int line; size_t start; };
    const Case cases[] = {{0, 0}, {1, 3}, {2, 7}, {3, 0} /* would begin at the end */, {100, 0}};
    for (const Case& c : cases) EXPECT_EQ(text->LogLineStart(c.line), c.start) << c.line;
    text->TakeChanges();
    text->CutLogFrom(7);
    EXPECT_STREQ(text->Log(), "c\r\nbb\r\n");
    EXPECT_EQ(text->TakeChanges(), DialogText::kLogChanged);
    text->CutLogFrom(7);  // nothing left to cut: no change to show
    EXPECT_EQ(text->TakeChanges(), 0u);
}

TEST(DialogText, ChangesAreReportedOnceAndClearShowsBothEmpty) {
    auto text = Fresh();
    EXPECT_EQ(text->TakeChanges(), 0u);
    text->SetStatus("Verbunden");
    EXPECT_EQ(text->TakeChanges(), DialogText::kStatusChanged);
    EXPECT_EQ(text->TakeChanges(), 0u);
    text->InsertLog(0, "x\r\n");
    text->SetStatus("y");
    EXPECT_TRUE(text->HasChanges());
    EXPECT_EQ(text->TakeChanges(), DialogText::kStatusChanged | DialogText::kLogChanged);
    text->Clear();
    EXPECT_STREQ(text->Status(), "");
    EXPECT_EQ(text->LogLength(), 0u);
    EXPECT_EQ(text->TakeChanges(), DialogText::kStatusChanged | DialogText::kLogChanged);
}

TEST(DialogText, HostileLengthsStayInsideTheBuffers) {
    auto text = Fresh();
    std::string status(5000, 's');
    text->SetStatus(status.c_str());
    EXPECT_EQ(std::string(text->Status()), status.substr(0, 1999));

    // Event lines with no command to trim them: the oldest go, whole lines.
    const std::string event = "EVENT CARD INSERTED\r\n";
    std::string lines;
    while (lines.size() + event.size() <= kLogTextCapacity) lines += event;
    text->InsertLog(0, lines.c_str());
    for (int i = 0; i < 10; ++i) text->InsertLog(0, event.c_str());
    EXPECT_LE(text->LogLength(), kLogTextCapacity);
    EXPECT_GT(text->LogLength(), kLogTextCapacity - event.size());
    EXPECT_EQ(text->LogLength() % event.size(), 0u);
    EXPECT_EQ(std::string(text->Log()).rfind(event), text->LogLength() - event.size());

    // A text larger than the whole log is cut to it; the newest stays.
    std::string huge(kLogTextCapacity + 100, 'h');
    text->InsertLog(0, huge.c_str());
    EXPECT_EQ(text->LogLength(), kLogTextCapacity);
    EXPECT_EQ(std::string(text->Log()), huge.substr(0, kLogTextCapacity));
    // A line with no break in it is cut where it must be.
    text->InsertLog(0, "new\r\n");
    EXPECT_EQ(text->LogLength(), kLogTextCapacity);
    EXPECT_EQ(std::string(text->Log(), 5), "new\r\n");
}

} // namespace
