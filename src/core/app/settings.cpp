#include "app/settings.h"

#include "app/support_log.h"
#include "link/reconnect.h"
#include "ui/view.h"
#include "wire/ascii.h"

#include "version.h"

#include <cstdio>
#include <cstring>

namespace velmora {
namespace {

Settings g_settings = DefaultSettings();
bool g_problemsReported = false;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Decimal digits only, optional spaces around; false for anything else or
// a value above max.
bool ParseNumber(const char* text, uint32_t max, uint32_t* value) {
    while (IsSpace(*text)) ++text;
    if (*text < '0' || *text > '9') return false;
    uint64_t result = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        result = result * 10 + static_cast<uint64_t>(*text - '0');
        if (result > max) return false;
    }
    while (IsSpace(*text)) ++text;
    if (*text != '\0') return false;
    *value = static_cast<uint32_t>(result);
    return true;
}

bool ParseSwitch(const char* text, bool* value) {
    static constexpr const char* kOn[] = {"on", "1", "true", "yes"};
    static constexpr const char* kOff[] = {"off", "0", "false", "no"};
    for (const char* word : kOn) {
        if (!AsciiEqualNoCase(text, word)) continue;
        *value = true;
        return true;
    }
    for (const char* word : kOff) {
        if (!AsciiEqualNoCase(text, word)) continue;
        *value = false;
        return true;
    }
    return false;
}

bool HasControlCharacter(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) < 0x20) return true;
    }
    return false;
}

// A text setting fits whole or is refused: a cut host or path would be
// another host or path.
bool CopyText(const char* value, char* field, size_t size, bool allowEmpty) {
    size_t length = std::strlen(value);
    if (length >= size || (!allowEmpty && length == 0) || HasControlCharacter(value)) return false;
    std::memcpy(field, value, length + 1);
    return true;
}

} // namespace

void RecordSettingProblem(Settings* settings, const char* key, const char* value) {
    size_t used = std::strlen(settings->problems);
    if (used + 1 >= sizeof settings->problems) return;
    std::snprintf(settings->problems + used, sizeof settings->problems - used, "%s%s='%.40s%s'",
                  used > 0 ? ", " : "", key, value, std::strlen(value) > 40 ? "..." : "");
}

namespace {

bool TakeValue(Settings* s, const char* key, const char* value) {
    uint32_t number = 0;
    if (AsciiEqualNoCase(key, kKeyHost)) {
        char host[kHostTextSize];
        if (!CopyText(value, host, sizeof host, false) || IsSpace(host[0])) return false;
        std::memcpy(s->host, host, sizeof host);
        return true;
    }
    if (AsciiEqualNoCase(key, kKeyPort)) {
        if (!ParseNumber(value, 65535, &number) || number == 0) return false;
        s->port = static_cast<uint16_t>(number);
        return true;
    }
    if (AsciiEqualNoCase(key, kKeyReader)) return CopyText(value, s->reader, sizeof s->reader, true);
    if (AsciiEqualNoCase(key, kKeyReconnect)) {
        if (!ParseNumber(value, kReconnectMaxSeconds, &number)) return false;
        s->reconnect = number;
        return true;
    }
    if (AsciiEqualNoCase(key, kKeyTrayStatus)) return ParseSwitch(value, &s->trayStatus);
    if (AsciiEqualNoCase(key, kKeyLogFile)) return CopyText(value, s->logFile, sizeof s->logFile, true);
    return true;  // not ours
}

struct Option {
    const char* name;
    const char* key;
};
constexpr Option kOptions[] = {
    {"--host", kKeyHost}, {"--port", kKeyPort}, {"--reader", kKeyReader},
    {"--reconnect", kKeyReconnect}, {"--log", kKeyLogFile},
};

} // namespace

Settings DefaultSettings() {
    Settings s{};
    std::snprintf(s.host, sizeof s.host, "%s", kDefaultHost);
    s.port = kDefaultPort;
    return s;
}

bool IsSettingKey(const char* key) {
    for (const char* known : kSettingKeys) {
        if (AsciiEqualNoCase(key, known)) return true;
    }
    return false;
}

namespace {

char* Trim(char* text) {
    while (IsSpace(*text)) ++text;
    size_t n = std::strlen(text);
    while (n > 0 && IsSpace(text[n - 1])) text[--n] = '\0';
    return text;
}

} // namespace

IniLine ReadIniLine(char* line, const char** key, const char** value) {
    char* text = Trim(line);
    *key = text;
    *value = "";
    if (text[0] == '\0' || text[0] == ';' || text[0] == '#') return IniLine::Skip;
    size_t n = std::strlen(text);
    if (text[0] == '[') {
        if (text[n - 1] != ']') return IniLine::Malformed;
        text[n - 1] = '\0';
        *key = Trim(text + 1);
        return IniLine::Section;
    }
    char* equals = std::strchr(text, '=');
    if (equals == nullptr || equals == text) return IniLine::Malformed;
    *equals = '\0';
    *key = Trim(text);
    char* v = Trim(equals + 1);
    size_t length = std::strlen(v);
    if (length >= 2 && v[0] == '"' && v[length - 1] == '"') {
        v[length - 1] = '\0';
        ++v;
    }
    *value = v;
    return IniLine::Entry;
}

bool IsSettingsSection(const char* name) { return name[0] == '\0' || AsciiEqualNoCase(name, "General"); }

bool ApplySetting(Settings* settings, const char* key, const char* value) {
    if (TakeValue(settings, key, value)) return true;
    RecordSettingProblem(settings, key, value);
    return false;
}

CommandLine ParseCommandLine(int argc, const char* const* argv, Settings* settings) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) return CommandLine::Help;
        if (std::strcmp(arg, "--version") == 0) return CommandLine::Version;
        const Option* option = nullptr;
        const char* value = nullptr;  // given as --name=value
        for (const Option& o : kOptions) {
            size_t n = std::strlen(o.name);
            if (std::strncmp(arg, o.name, n) != 0 || (arg[n] != '\0' && arg[n] != '=')) continue;
            option = &o;
            if (arg[n] == '=') value = arg + n + 1;
        }
        if (option == nullptr) return CommandLine::Usage;
        if (value == nullptr) {
            if (i + 1 >= argc) return CommandLine::Usage;
            value = argv[++i];
        }
        ApplySetting(settings, option->key, value);
    }
    return CommandLine::Run;
}

const char* UsageText() {
    return "Usage: velmora-client [options]\n"
           "  --host HOST        server to connect to (default localhost)\n"
           "  --port PORT        server port, 1 to 65535 (default 9688)\n"
           "  --reader TEXT      open the first reader with a card whose name contains TEXT\n"
           "  --reconnect S      connect again S seconds after the link ends, doubling up to 60 (0: never)\n"
           "  --log FILE         append status and protocol lines to FILE, PINs hidden\n"
           "  --help             this text\n"
           "  --version          the program's version\n";
}

const char* VersionText() { return "Velmora Client " VELMORA_VERSION; }

void UseSettings(const Settings& settings) {
    g_settings = settings;
    g_problemsReported = false;
    std::memcpy(g_link.host, settings.host, sizeof g_link.host);
    g_link.port = settings.port;
    SetReconnectInterval(settings.reconnect);
    OpenSupportLog(settings.logFile);
}

const Settings& CurrentSettings() { return g_settings; }

void ReportSettingsProblems(ConnectionDialogView* dialog) {
    if (g_problemsReported) return;
    g_problemsReported = true;
    ReportSupportLogFailure(dialog);
    if (g_settings.problems[0] == '\0') return;
    ShowStatus(dialog, "Ung\xFCltige Einstellung ignoriert: %s", g_settings.problems);
    char line[kSettingsProblemSize + 64];
    std::snprintf(line, sizeof line, "Ung\xFCltige Einstellung ignoriert: %s\r\n", g_settings.problems);
    // The dialog may not be the current one yet while it opens.
    if (dialog != nullptr) dialog->InsertLogText(0, line);
    SupportLogLine('P', line);
}

} // namespace velmora
