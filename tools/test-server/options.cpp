#include "options.h"

#include <charconv>
#include <string_view>

namespace velmora::server {
namespace {

struct FlagOption {
    std::string_view name;
    bool Options::*field;
    bool value;
};

struct TextOption {
    std::string_view name;
    std::string Options::*field;
};

struct NumberOption {
    std::string_view name;
    int64_t Options::*field;
    int64_t min;
    int64_t max;
};

constexpr int64_t kMaxMs = int64_t{24} * 3600 * 1000;

constexpr FlagOption kFlags[] = {
    {"--once", &Options::once, true},
    {"--no-greeting", &Options::send_greeting, false},
    {"--interactive", &Options::interactive, true},
    {"--quiet-rtt", &Options::quiet_rtt, true},
    {"--exit-on-script-end", &Options::exit_on_script_end, true},
};

constexpr TextOption kTexts[] = {
    {"--listen", &Options::listen},
    {"--greeting", &Options::greeting},
    {"--script", &Options::script_path},
    {"--log", &Options::log_path},
};

constexpr NumberOption kNumbers[] = {
    {"--port", &Options::port, 0, 65535},
    {"--greeting-delay-ms", &Options::greeting_delay_ms, 0, kMaxMs},
    {"--reply-timeout-ms", &Options::reply_timeout_ms, 1, kMaxMs},
    {"--repeat", &Options::repeat, 1, 1000000000},
};

bool SetNumber(const NumberOption& option, std::string_view text, Options* options) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end) return false;
    if (value < option.min || value > option.max) return false;
    options->*option.field = value;
    return true;
}

// Applies one "--name VALUE" or "--name=VALUE"; false with error set if the
// value is missing or bad, or the name is unknown.
bool ApplyValued(std::string_view name, const char* value, Options* options, std::string* error) {
    for (const TextOption& option : kTexts) {
        if (option.name != name) continue;
        if (value == nullptr) break;
        if (name == "--greeting") options->send_greeting = true;
        options->*option.field = value;
        return true;
    }
    for (const NumberOption& option : kNumbers) {
        if (option.name != name) continue;
        if (value != nullptr && SetNumber(option, value, options)) return true;
        *error = std::string(name) + " needs a number from " + std::to_string(option.min) + " to " +
                 std::to_string(option.max);
        return false;
    }
    *error = value == nullptr ? std::string(name) + " needs a value"
                              : "unknown option " + std::string(name);
    return false;
}

bool ApplyFlag(std::string_view name, Options* options) {
    for (const FlagOption& option : kFlags) {
        if (option.name != name) continue;
        options->*option.field = option.value;
        return true;
    }
    return false;
}

bool Known(std::string_view name) {
    for (const TextOption& option : kTexts) {
        if (option.name == name) return true;
    }
    for (const NumberOption& option : kNumbers) {
        if (option.name == name) return true;
    }
    return false;
}

// Consumes argv[*index] and, for options with a separate value, the next one.
bool ApplyArgument(int argc, const char* const* argv, int* index, Options* options,
                   std::string* error) {
    std::string_view arg = argv[*index];
    size_t equals = arg.find('=');
    if (equals != std::string_view::npos) {
        std::string value(arg.substr(equals + 1));
        return ApplyValued(arg.substr(0, equals), value.c_str(), options, error);
    }
    if (ApplyFlag(arg, options)) return true;
    if (!Known(arg)) {
        *error = "unknown option " + std::string(arg);
        return false;
    }
    const char* value = *index + 1 < argc ? argv[++*index] : nullptr;
    return ApplyValued(arg, value, options, error);
}

bool Check(Options* options, std::string* error) {
    if (options->interactive && !options->script_path.empty()) {
        *error = "--script and --interactive exclude each other";
        return false;
    }
    if (options->script_path.empty()) options->interactive = true;
    return true;
}

}  // namespace

OptionsResult ParseOptions(int argc, const char* const* argv, Options* options,
                           std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") return OptionsResult::kHelp;
        if (!ApplyArgument(argc, argv, &i, options, error)) return OptionsResult::kError;
    }
    return Check(options, error) ? OptionsResult::kRun : OptionsResult::kError;
}

const char* UsageText() {
    return "usage: velmora-server [options]\n"
           "Plays commands to one Velmora Client at a time and prints its replies.\n"
           "\n"
           "  --listen ADDR            address to listen on (default 127.0.0.1)\n"
           "  --port N                 port (default 9688; 0 picks a free one)\n"
           "  --once                   exit after the first client has gone\n"
           "  --greeting TEXT          first line sent (default \"HELLO velmora-server\")\n"
           "  --no-greeting            send no greeting (the client then ignores the\n"
           "                           first command)\n"
           "  --greeting-delay-ms N    pause after the greeting (default 200)\n"
           "  --script FILE            commands and directives to send\n"
           "  --interactive            read them from standard input (the default)\n"
           "  --reply-timeout-ms N     wait this long for each reply (default 10000)\n"
           "  --quiet-rtt              leave round-trip times out of the transcript\n"
           "  --exit-on-script-end     close and exit when the script is done;\n"
           "                           exit code 1 if it did not run clean\n"
           "  --log FILE               also write the transcript to FILE\n"
           "  --repeat N               play the script N times per client\n"
           "\n"
           "Directives: @sleep MS, @expect-event INSERTED|REMOVED [MS],\n"
           "@wait-close [MS], @close, @raw HEX, @echo TEXT. Lines starting with '#'\n"
           "are comments.\n"
           "\n"
           "Transcript: '> ' sent command, '< ' its reply, '! ' event, '? ' any other\n"
           "line from the client, '# ' note.\n"
           "\n"
           "The protocol, for server developers: docs/protocol.md in the source tree,\n"
           "/usr/share/doc/velmora-tools/protocol.md where velmora-tools is installed.\n";
}

}  // namespace velmora::server
