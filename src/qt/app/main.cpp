// Velmora Client on Linux: a tray application over Qt 6 and pcsc-lite.
#include "app/test_hook.h"
#include "app/tray_app.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora Client"));
    // The program lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    velmora::qt::TrayApp tray;
    tray.Start();
    velmora::qt::InstallTestHook(&tray);
    return QApplication::exec();
}
