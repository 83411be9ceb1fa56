// Velmora Client on Linux: a tray application over Qt 6 and pcsc-lite.
#include "app/settings.h"
#include "app/settings_files.h"
#include "app/single_instance.h"
#include "app/test_hook.h"
#include "app/tray_app.h"

#include <QApplication>

#include <cstdio>

namespace {

// Settings and options come before any window: --help needs no display.
int ReadSettings(int argc, char* argv[], velmora::Settings* settings) {
    *settings = velmora::DefaultSettings();
    velmora::qt::ReadSettingsFiles(settings);
    switch (velmora::ParseCommandLine(argc, argv, settings)) {
    case velmora::CommandLine::Run: return -1;
    case velmora::CommandLine::Help: std::fputs(velmora::UsageText(), stdout); return 0;
    case velmora::CommandLine::Version: std::printf("%s\n", velmora::VersionText()); return 0;
    case velmora::CommandLine::Usage: std::fputs(velmora::UsageText(), stderr); return 2;
    }
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    velmora::Settings settings;
    int early = ReadSettings(argc, argv, &settings);
    if (early >= 0) return early;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora Client"));
    // Two clients on one reader and one server would only confuse both.
    if (velmora::qt::SingleInstance::AskRunningClient()) return 0;
    // The program lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    velmora::qt::TrayApp tray;
    velmora::qt::SingleInstance instance;
    instance.Listen([&tray] { tray.OpenDialog(); });
    velmora::UseSettings(settings);
    tray.Start();
    velmora::qt::InstallTestHook(&tray);
    return QApplication::exec();
}
