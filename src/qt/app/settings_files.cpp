#include "app/settings_files.h"

#include "ui/cp1252.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace velmora::qt {
namespace {

constexpr const char* kFileName = "velmora-client.conf";
constexpr int kLineMax = 4096;

// The host is shown in the dialog, which speaks Windows-1252; reader names
// and paths are the system's bytes. Either way a value too long to take is
// refused by the core, not cut here.
void Apply(velmora::Settings* settings, const char* key, const char* value) {
    char text[velmora::kLogPathSize + 2];
    if (QLatin1String(key).compare(QLatin1String(velmora::kKeyHost), Qt::CaseInsensitive) == 0) {
        ToCp1252(QString::fromUtf8(value), text, sizeof text);
    } else {
        std::snprintf(text, sizeof text, "%s", value);
    }
    velmora::ApplySetting(settings, key, text);
}

} // namespace

// Read line by line as written: keys in any case, values whole (an INI
// reader would cut "a;b" at the ';'); whatever is not a setting is reported.
void ReadSettingsFile(const QString& path, velmora::Settings* settings) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
    bool ours = true;
    char section[112] = "";  // "[name] ", the name cut at 100
    while (!file.atEnd()) {
        QByteArray raw = file.readLine(kLineMax);
        // Editors on Windows start UTF-8 files with a byte order mark.
        if (file.pos() == raw.size() && raw.startsWith("\xEF\xBB\xBF")) raw.remove(0, 3);
        char line[kLineMax + 1];
        std::snprintf(line, sizeof line, "%s", raw.constData());
        const char* key = nullptr;
        const char* value = nullptr;
        switch (velmora::ReadIniLine(line, &key, &value)) {
        case velmora::IniLine::Skip: break;
        case velmora::IniLine::Section:
            ours = velmora::IsSettingsSection(key);
            std::snprintf(section, sizeof section, "[%.100s] ", key);
            break;
        case velmora::IniLine::Malformed: velmora::RecordSettingProblem(settings, key, ""); break;
        case velmora::IniLine::Entry:
            if (ours && velmora::IsSettingKey(key)) {
                Apply(settings, key, value);
            } else {
                char shown[sizeof section + 101];
                std::snprintf(shown, sizeof shown, "%s%.100s", ours ? "" : section, key);
                velmora::RecordSettingProblem(settings, shown, value);
            }
            break;
        }
    }
}

void ReadSettingsFiles(velmora::Settings* settings) {
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty()) dirs = QStringLiteral("/etc/xdg");
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QString path = dir + QLatin1Char('/') + QLatin1String(kFileName);
        if (QFileInfo::exists(path)) {
            ReadSettingsFile(path, settings);
            break;  // the most important directory that has one
        }
    }
    QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.config");
    ReadSettingsFile(home + QLatin1Char('/') + QLatin1String(kFileName), settings);
}

} // namespace velmora::qt
