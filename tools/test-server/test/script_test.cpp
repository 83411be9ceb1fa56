#include "script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace velmora::server;

namespace {

struct GoodCase {
    const char* line;
    StepKind kind;
    std::string text;
    std::string bytes;
    int64_t ms;
};

TEST(ParseStep, ReadsCommandsAndDirectives) {
    const GoodCase cases[] = {
        {"STATE", StepKind::kCommand, "STATE", "", kNoTimeout},
        {"  TRANSMIT T1 00A4040000 \r", StepKind::kCommand, "TRANSMIT T1 00A4040000", "",
         kNoTimeout},
        {"@sleep 250", StepKind::kSleep, "", "", 250},
        {"@sleep 0", StepKind::kSleep, "", "", 0},
        {"@expect-event INSERTED", StepKind::kExpectEvent, "INSERTED", "", kNoTimeout},
        {"@expect-event REMOVED 5000", StepKind::kExpectEvent, "REMOVED", "", 5000},
        {"@wait-close", StepKind::kWaitClose, "", "", kNoTimeout},
        {"@wait-close 100", StepKind::kWaitClose, "", "", 100},
        {"@close", StepKind::kClose, "", "", kNoTimeout},
        {"@raw 53 54 0a", StepKind::kRaw, "", "ST\n", kNoTimeout},
        {"@raw 00FF", StepKind::kRaw, "", std::string("\0\xFF", 2), kNoTimeout},
        {"@echo insert a card", StepKind::kEcho, "insert a card", "", kNoTimeout},
    };
    for (const GoodCase& c : cases) {
        Step step;
        std::string error;
        ASSERT_EQ(ParseStep(c.line, &step, &error), ParseResult::kStep) << c.line << ": " << error;
        EXPECT_EQ(step.kind, c.kind) << c.line;
        EXPECT_EQ(step.text, c.text) << c.line;
        EXPECT_EQ(step.bytes, c.bytes) << c.line;
        EXPECT_EQ(step.ms, c.ms) << c.line;
    }
}

TEST(ParseStep, SkipsBlankLinesAndComments) {
    for (const char* line : {"", "   ", "\r", "# STATE", "   # @close"}) {
        Step step;
        std::string error;
        EXPECT_EQ(ParseStep(line, &step, &error), ParseResult::kSkip) << line;
    }
}

TEST(ParseStep, RejectsMistypedDirectivesInsteadOfSendingThem) {
    const char* bad[] = {
        "@sleep",
        "@sleep -1",
        "@sleep 1.5",
        "@sleep 10ms",
        "@expect-event",
        "@expect-event inserted",
        "@expect-event INSERTED soon",
        "@wait-close x",
        "@close now",
        "@raw",
        "@raw 123",
        "@raw 0G",
        "@sleeep 10",
        "@",
    };
    for (const char* line : bad) {
        Step step;
        std::string error;
        EXPECT_EQ(ParseStep(line, &step, &error), ParseResult::kError) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(LoadScript, NamesTheFileAndLineOfAMistake) {
    std::string path = testing::TempDir() + "velmora_script_test.txt";
    std::ofstream(path) << "# header\nSTATE\n\n@sleep soon\nCARD\n";
    std::vector<Step> steps;
    std::string error;
    EXPECT_FALSE(LoadScript(path, &steps, &error));
    EXPECT_EQ(error, path + ":4: @sleep needs MS");

    std::ofstream(path) << "# header\nSTATE\n\n@sleep 5\nCARD";
    steps.clear();
    ASSERT_TRUE(LoadScript(path, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].text, "CARD");  // last line without a newline still counts
    std::remove(path.c_str());

    EXPECT_FALSE(LoadScript(path, &steps, &error));
    EXPECT_NE(error.find(path), std::string::npos);
}

}  // namespace
