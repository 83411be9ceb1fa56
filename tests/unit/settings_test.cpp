#include "app/settings.h"
#include "client_fixture.h"
#include "reader/readers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using velmora::ApplySetting;
using velmora::CommandLine;
using velmora::DefaultSettings;
using velmora::ParseCommandLine;
using velmora::Settings;

struct Source {
    std::vector<std::pair<std::string, std::string>> values;
};

// Defaults, then each source in order, as the shells merge them.
Settings Merge(const std::vector<Source>& sources) {
    Settings s = DefaultSettings();
    for (const Source& source : sources) {
        for (const auto& [key, value] : source.values) ApplySetting(&s, key.c_str(), value.c_str());
    }
    return s;
}

TEST(Settings, DefaultsAreTheUnsetClient) {
    Settings s = DefaultSettings();
    EXPECT_STREQ(s.host, "localhost");
    EXPECT_EQ(s.port, 9688);
    EXPECT_STREQ(s.reader, "");
    EXPECT_EQ(s.reconnect, 0u);
    EXPECT_FALSE(s.trayStatus);
    EXPECT_STREQ(s.logFile, "");
    EXPECT_STREQ(s.problems, "");
}

TEST(Settings, LaterSourcesWinKeyByKey) {
    Settings s = Merge({{{{"Host", "system.example"}, {"Port", "1000"}, {"Reconnect", "5"}}},
                        {{{"host", "user.example"}, {"TRAYSTATUS", "on"}}},
                        {{{"Port", "2000"}}}});
    EXPECT_STREQ(s.host, "user.example");
    EXPECT_EQ(s.port, 2000);
    EXPECT_EQ(s.reconnect, 5u);
    EXPECT_TRUE(s.trayStatus);
    EXPECT_STREQ(s.problems, "");
}

TEST(Settings, MalformedValuesLeaveTheEarlierValueWhole) {
    struct Case {
        const char* key;
        const char* value;
    };
    const std::string longHost(100, 'h');
    const std::string longPath(1024, 'p');
    const Case cases[] = {
        {"Port", "abc"}, {"Port", "0"}, {"Port", "65536"}, {"Port", "99999999999999999999"},
        {"Port", "12x"}, {"Port", "-1"}, {"Port", ""}, {"Host", ""}, {"Host", longHost.c_str()},
        {"Host", "a\nb"}, {"Host", " lead"}, {"Reconnect", "-5"}, {"Reconnect", "86401"},
        {"Reconnect", "1.5"}, {"TrayStatus", "maybe"}, {"TrayStatus", ""},
        {"LogFile", longPath.c_str()},
    };
    for (const Case& c : cases) {
        Settings s = Merge({{{{"Host", "before"}, {"Port", "1234"}, {"Reconnect", "7"},
                              {"TrayStatus", "on"}, {"LogFile", "/tmp/x.log"}}}});
        EXPECT_FALSE(ApplySetting(&s, c.key, c.value)) << c.key << "=" << c.value;
        EXPECT_STREQ(s.host, "before") << c.key;
        EXPECT_EQ(s.port, 1234) << c.key;
        EXPECT_EQ(s.reconnect, 7u) << c.key;
        EXPECT_TRUE(s.trayStatus) << c.key;
        EXPECT_STREQ(s.logFile, "/tmp/x.log") << c.key;
        EXPECT_EQ(std::string(s.problems).rfind(std::string(c.key) + "='", 0), 0u) << s.problems;
    }
}

TEST(Settings, LimitsAndSpellingsThatAreTaken) {
    const std::string host99(99, 'h');
    Settings s = Merge({{{{"Host", host99}, {"Port", " 65535 "}, {"Reconnect", "86400"},
                          {"Reader", "Sim"}, {"TrayStatus", "FALSE"}, {"Unknown", "x"}}}});
    EXPECT_EQ(std::string(s.host), host99);
    EXPECT_EQ(s.port, 65535);
    EXPECT_EQ(s.reconnect, 86400u);
    EXPECT_STREQ(s.reader, "Sim");
    EXPECT_FALSE(s.trayStatus);
    EXPECT_STREQ(s.problems, "");
    for (const char* on : {"on", "1", "true", "TRUE", "On"}) {
        Settings t = DefaultSettings();
        EXPECT_TRUE(ApplySetting(&t, "TrayStatus", on) && t.trayStatus) << on;
    }
}

TEST(Settings, ProblemsAreCollectedAndCutNeverOverrun) {
    Settings s = DefaultSettings();
    const std::string junk(300, 'j');
    for (int i = 0; i < 20; ++i) ApplySetting(&s, "Port", junk.c_str());
    std::string problems = s.problems;
    EXPECT_LT(problems.size(), sizeof s.problems);
    EXPECT_EQ(problems.rfind("Port='jjjj", 0), 0u);
    EXPECT_NE(problems.find("...', Port='"), std::string::npos);
}

// A settings file is read as written: keys in any case, values whole.
TEST(SettingsFile, LinesAreReadAsWritten) {
    struct Case {
        const char* line;
        velmora::IniLine kind;
        const char* key;
        const char* value;
    } cases[] = {
        {"Host=server.example\n", velmora::IniLine::Entry, "Host", "server.example"},
        {"  host =  server.example  \r\n", velmora::IniLine::Entry, "host", "server.example"},
        {"Reader=a;b", velmora::IniLine::Entry, "Reader", "a;b"},
        {"Reader=Acme #2, slot 1", velmora::IniLine::Entry, "Reader", "Acme #2, slot 1"},
        {"Reader=\" padded \"", velmora::IniLine::Entry, "Reader", " padded "},
        {"LogFile=", velmora::IniLine::Entry, "LogFile", ""},
        {"[General]", velmora::IniLine::Section, "General", ""},
        {"[ Other ]", velmora::IniLine::Section, "Other", ""},
        {"; a comment", velmora::IniLine::Skip, "; a comment", ""},
        {"# a comment", velmora::IniLine::Skip, "# a comment", ""},
        {"   ", velmora::IniLine::Skip, "", ""},
        {"Port 9688", velmora::IniLine::Malformed, "Port 9688", ""},
        {"=9688", velmora::IniLine::Malformed, "=9688", ""},
        {"[General", velmora::IniLine::Malformed, "[General", ""},
    };
    for (const Case& c : cases) {
        char line[100];
        std::snprintf(line, sizeof line, "%s", c.line);
        const char* key = nullptr;
        const char* value = nullptr;
        EXPECT_EQ(velmora::ReadIniLine(line, &key, &value), c.kind) << c.line;
        EXPECT_STREQ(key, c.key) << c.line;
        EXPECT_STREQ(value, c.value) << c.line;
    }
    for (const char* key : {"Host", "host", "PORT", "reader", "reconnect", "traystatus", "logfile"}) {
        EXPECT_TRUE(velmora::IsSettingKey(key)) << key;
    }
    for (const char* key : {"Hostname", "", "Log", "General/Host"}) EXPECT_FALSE(velmora::IsSettingKey(key)) << key;
    EXPECT_TRUE(velmora::IsSettingsSection(""));
    EXPECT_TRUE(velmora::IsSettingsSection("general"));
    EXPECT_FALSE(velmora::IsSettingsSection("Other"));
}

TEST(CommandLineTest, OptionsOverTheFilesAndTheExits) {
    struct Case {
        std::vector<const char*> args;
        CommandLine result;
        const char* host;
        unsigned port;
    };
    const Case cases[] = {
        {{}, CommandLine::Run, "file.example", 1000},
        {{"--host", "cli.example", "--port", "2000"}, CommandLine::Run, "cli.example", 2000},
        {{"--host=eq.example", "--port=3000"}, CommandLine::Run, "eq.example", 3000},
        {{"--port", "nope"}, CommandLine::Run, "file.example", 1000},
        {{"--help"}, CommandLine::Help, "file.example", 1000},
        {{"--port", "2000", "--version"}, CommandLine::Version, "file.example", 2000},
        {{"--bogus"}, CommandLine::Usage, "file.example", 1000},
        {{"-x"}, CommandLine::Usage, "file.example", 1000},
        {{"stray"}, CommandLine::Usage, "file.example", 1000},
        {{"--hostile", "x"}, CommandLine::Usage, "file.example", 1000},
        {{"--port"}, CommandLine::Usage, "file.example", 1000},
    };
    for (const Case& c : cases) {
        Settings s = Merge({{{{"Host", "file.example"}, {"Port", "1000"}}}});
        std::vector<const char*> argv{"velmora-client"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &s), c.result) << name;
        EXPECT_STREQ(s.host, c.host) << name;
        EXPECT_EQ(s.port, c.port) << name;
    }
    Settings s = DefaultSettings();
    const char* argv[] = {"c", "--reader", "Second", "--reconnect", "3", "--log", "/tmp/a b.log"};
    EXPECT_EQ(ParseCommandLine(7, argv, &s), CommandLine::Run);
    EXPECT_STREQ(s.reader, "Second");
    EXPECT_EQ(s.reconnect, 3u);
    EXPECT_STREQ(s.logFile, "/tmp/a b.log");
}

class SettingsInUse : public ClientCoreTest {};

TEST_F(SettingsInUse, FieldsArePrefilledAndProblemsShownOnceAtTheFirstOpening) {
    Settings s = DefaultSettings();
    ApplySetting(&s, "Host", "server.example");
    ApplySetting(&s, "Port", "4711");
    ApplySetting(&s, "Port", "x");
    velmora::UseSettings(s);
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.host, "server.example");
    EXPECT_EQ(dialog.port, "4711");
    EXPECT_EQ(dialog.status, "Ung\xFCltige Einstellung ignoriert: Port='x'");
    EXPECT_EQ(dialog.log, "Ung\xFCltige Einstellung ignoriert: Port='x'\r\n");
    EXPECT_EQ(dialog.posted.back(), velmora::kIdConnect);
    dialog.status.clear();
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.status, "");
}

TEST_F(SettingsInUse, WithoutProblemsTheOpeningShowsNothingNew) {
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.statusWrites, 0);
    EXPECT_EQ(dialog.log, "");
}

TEST_F(SettingsInUse, PreferredReaderWithACardComesFirstOtherwiseTheUsualRule) {
    int second = fakepcsc::AddReader("Other Reader 1");
    int third = fakepcsc::AddReader("Wanted Reader 2");
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T1);
    fakepcsc::InsertCard(second, SCARD_PROTOCOL_T0);
    struct Case {
        const char* wanted;
        bool cardInWanted;
        int selected;
    };
    const Case cases[] = {{"", true, 1}, {"Wanted", true, 3}, {"Wanted", false, 1}, {"Other", true, 2},
                          {"Nowhere", true, 1}};
    for (const Case& c : cases) {
        if (c.cardInWanted) fakepcsc::InsertCard(third, SCARD_PROTOCOL_T0);
        else fakepcsc::RemoveCard(third);
        Settings s = DefaultSettings();
        ApplySetting(&s, "Reader", c.wanted);
        velmora::UseSettings(s);
        velmora::g_card.readerName[0] = '\0';
        dialog.posted.clear();
        velmora::FillReaderList(&dialog);
        EXPECT_EQ(dialog.selected, c.selected) << c.wanted << c.cardInWanted;
        EXPECT_EQ(dialog.posted, std::vector<int>{velmora::kIdOpen}) << c.wanted;
    }
}

} // namespace
