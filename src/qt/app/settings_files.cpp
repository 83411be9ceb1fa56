#include "app/settings_files.h"

#include "ui/cp1252.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <cstdio>

namespace velmora::qt {
namespace {

constexpr const char* kFileName = "velmora-client.conf";
constexpr const char* kKeys[] = {"Host", "Port", "Reader", "Reconnect", "TrayStatus", "LogFile"};

// QSettings reads "a, b" as a list; the setting is the text as written.
QString ValueText(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

} // namespace

void ReadSettingsFile(const QString& path, velmora::Settings* settings) {
    if (!QFileInfo::exists(path)) return;
    QSettings file(path, QSettings::IniFormat);
    for (const char* key : kKeys) {
        QString name = QString::fromLatin1(key);
        if (!file.contains(name)) continue;
        QString text = ValueText(file.value(name));
        // The host is shown in the dialog, which speaks Windows-1252; reader
        // names and paths are the system's bytes. Either way a value too long
        // to take is refused by the core, not cut here.
        char value[velmora::kLogPathSize + 1];
        if (name == QLatin1String("Host")) {
            ToCp1252(text, value, sizeof value);
        } else {
            QByteArray bytes = text.toUtf8();
            std::snprintf(value, sizeof value, "%s", bytes.constData());
        }
        velmora::ApplySetting(settings, key, value);
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
