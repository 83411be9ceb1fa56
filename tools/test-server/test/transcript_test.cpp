#include "transcript.h"

#include <gtest/gtest.h>

#include <string>

using namespace velmora::server;

namespace {

TEST(Summary, UsesNearestRankPercentiles) {
    Tally tally;
    tally.commands = 101;
    tally.replies = 100;
    tally.timeouts = 1;
    for (int us = 100; us >= 1; --us) tally.rtt.Add(us);  // order must not matter
    EXPECT_EQ(Summary(tally, false),
              "101 commands, 100 replies, 1 timeouts, median 50 us, p99 99 us");
    EXPECT_EQ(Summary(tally, true), "101 commands, 100 replies, 1 timeouts");

    Tally three;
    for (int us : {30, 10, 20}) three.rtt.Add(us);
    EXPECT_EQ(Summary(three, false), "0 commands, 0 replies, 0 timeouts, median 20 us, p99 30 us");

    Tally none;  // no replies, no times to show
    none.commands = 2;
    none.timeouts = 2;
    EXPECT_EQ(Summary(none, false), "2 commands, 0 replies, 2 timeouts");
}

TEST(Escape, KeepsEveryReceivedLineOnOneLine) {
    EXPECT_EQ(Escape("200 STATE SUCCESS"), "200 STATE SUCCESS");
    EXPECT_EQ(Escape(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(Escape("\r\n\x1B\x7F"), "\\x0D\\x0A\\x1B\\x7F");
    EXPECT_EQ(Escape("C:\\x41"), "C:\\\\x41");  // an escape in the text stays tellable
    EXPECT_EQ(Escape("\xC3\xA9"), "\xC3\xA9");  // UTF-8 passes unchanged
}

}  // namespace
