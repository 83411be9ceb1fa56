#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora::server;

namespace {

OptionsResult Parse(std::vector<const char*> args, Options* options, std::string* error) {
    args.insert(args.begin(), "velmora-server");
    return ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ParseOptions, TakesValuesAfterABlankOrAnEqualsSign) {
    Options options;
    std::string error;
    ASSERT_EQ(Parse({"--port", "0", "--script=s.txt", "--reply-timeout-ms=50", "--greeting",
                     "HI there", "--once", "--quiet-rtt", "--exit-on-script-end", "--repeat", "3"},
                    &options, &error),
              OptionsResult::kRun)
        << error;
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.script_path, "s.txt");
    EXPECT_FALSE(options.interactive);
    EXPECT_EQ(options.reply_timeout_ms, 50);
    EXPECT_EQ(options.greeting, "HI there");
    EXPECT_TRUE(options.once && options.quiet_rtt && options.exit_on_script_end);
    EXPECT_EQ(options.repeat, 3);
}

TEST(ParseOptions, WithoutAScriptReadsStandardInput) {
    Options options;
    std::string error;
    ASSERT_EQ(Parse({"--once"}, &options, &error), OptionsResult::kRun);
    EXPECT_TRUE(options.interactive);
}

TEST(ParseOptions, TheLastGreetingOptionWins) {
    Options options;
    std::string error;
    ASSERT_EQ(Parse({"--greeting", "X", "--no-greeting"}, &options, &error), OptionsResult::kRun);
    EXPECT_FALSE(options.send_greeting);
    ASSERT_EQ(Parse({"--no-greeting", "--greeting", "Y"}, &options, &error), OptionsResult::kRun);
    EXPECT_TRUE(options.send_greeting);
}

TEST(ParseOptions, RefusesWhatItCannotHonour) {
    const std::vector<std::vector<const char*>> bad = {
        {"--port", "65536"}, {"--port", "-1"},
        {"--port"},          {"--port", "80x"},
        {"--repeat", "0"},   {"--reply-timeout-ms", "0"},
        {"--script"},        {"--bogus"},
        {"--bogus=1"},       {"--script", "a", "--interactive"},
    };
    for (const auto& args : bad) {
        Options options;
        std::string error;
        EXPECT_EQ(Parse(args, &options, &error), OptionsResult::kError) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
