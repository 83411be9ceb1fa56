// The command line of velmora-server.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::server {

struct Options {
    std::string listen = "127.0.0.1";
    int64_t port = 9688;
    bool once = false;
    bool send_greeting = true;
    std::string greeting = "HELLO velmora-server";
    int64_t greeting_delay_ms = 200;
    std::string script_path;
    bool interactive = false;
    int64_t reply_timeout_ms = 10000;
    bool quiet_rtt = false;
    bool exit_on_script_end = false;
    std::string log_path;
    int64_t repeat = 1;
};

enum class OptionsResult { kRun, kHelp, kError };

OptionsResult ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

const char* UsageText();

}  // namespace velmora::server
