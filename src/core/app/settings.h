// The client's settings: built-in defaults, then the system-wide and the
// user's settings (read by the shell), then the command line, later values
// winning. Each value is checked whole before it is taken, so a malformed
// one leaves the earlier value in place.
#pragma once

#include "link/link.h"
#include "reader/card.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

constexpr size_t kLogPathSize = 1024;
constexpr size_t kSettingsProblemSize = 500;
constexpr uint32_t kReconnectMaxSeconds = 86400;

// The settings' names, as the files, the registry and the command line's
// messages write them; matched without regard to case.
constexpr char kKeyHost[] = "Host";
constexpr char kKeyPort[] = "Port";
constexpr char kKeyReader[] = "Reader";
constexpr char kKeyReconnect[] = "Reconnect";
constexpr char kKeyTrayStatus[] = "TrayStatus";
constexpr char kKeyLogFile[] = "LogFile";
constexpr const char* kSettingKeys[] = {kKeyHost, kKeyPort, kKeyReader, kKeyReconnect, kKeyTrayStatus, kKeyLogFile};

struct Settings {
    char host[kHostTextSize];
    uint16_t port;
    char reader[kReaderNameSize];  // preferred reader: part of its name; empty for none
    uint32_t reconnect;            // first retry delay in seconds; 0 is off
    bool trayStatus;
    char logFile[kLogPathSize];  // empty is off
    // The values that were ignored, as "Key='value'" joined by ", ", cut.
    char problems[kSettingsProblemSize];
};

Settings DefaultSettings();

// Takes one value from a source. Keys are matched without regard to case;
// an unknown key is not ours and is passed over. A malformed value is
// recorded in problems and leaves the setting as it was. Returns false for
// a malformed value.
bool ApplySetting(Settings* settings, const char* key, const char* value);

// Whether key names one of the settings, in any case.
bool IsSettingKey(const char* key);

// One line of a settings file (INI form), trimmed in place. Section: its
// name in *key. Entry: *key and *value as written, a value in double quotes
// without them; a ';' or '#' inside a value is part of it. Skip: blank or a
// comment. Malformed: none of these, the line in *key.
enum class IniLine { Skip, Section, Entry, Malformed };
IniLine ReadIniLine(char* line, const char** key, const char** value);

// Whether entries under this section are settings: the top and [General].
bool IsSettingsSection(const char* name);

// Records a value that could not be read at all (such as a registry value of
// the wrong type) as ignored.
void RecordSettingProblem(Settings* settings, const char* key, const char* value);

enum class CommandLine { Run, Help, Version, Usage };

// Reads the options after argv[0] into settings. Usage for an unknown option
// or one missing its value; Help and Version as soon as they are seen.
CommandLine ParseCommandLine(int argc, const char* const* argv, Settings* settings);

// The usage text, lines ending in "\n".
const char* UsageText();
// "Velmora Client <version>".
const char* VersionText();

// Hands the settings to the core: host and port for the dialog's fields, the
// preferred reader, the reconnect interval, the tray status and the support
// log. Called once, before the connection dialog first opens.
void UseSettings(const Settings& settings);
const Settings& CurrentSettings();

// Once, when the dialog first opens: the ignored values on the status line
// and in the protocol log. Nothing when every value was taken.
void ReportSettingsProblems(ConnectionDialogView* dialog);

} // namespace velmora
