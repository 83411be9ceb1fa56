// The application shell on Qt: the tray icon and its menu, the About dialog,
// the connection dialog's life, and the shell side of the core (card events
// queued onto the user-interface thread).
#pragma once

#include "app/shell.h"
#include "link/qt_network.h"
#include "ui/connection_dialog.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;

namespace velmora::qt {

class TrayApp : public QObject, public velmora::Shell {
    Q_OBJECT

public:
    TrayApp();
    ~TrayApp() override;

    // Starts the client: tray icon, then the Open command as the first
    // thing the event loop does.
    void Start();

    void OpenDialog();
    void ShowAbout();
    void Exit();
    // Closes the dialog; the tray's Open brings up a new one.
    void CloseDialog();

    ConnectionDialog* Dialog() const { return dialog_; }
    bool TrayAvailable() const { return trayAvailable_; }

    void PostCardEvent(const velmora::CardEvent& event) override;
    velmora::PinDialogView* CreatePinDialog(velmora::ConnectionDialogView* owner) override;
    void DestroyPinDialog() override;

private:
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);

    QtNetwork network_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* menu_ = nullptr;
    QPointer<ConnectionDialog> dialog_;
    bool trayAvailable_ = false;
    bool exiting_ = false;
};

// The tray and window icon, drawn at run time: a card with its chip.
QIcon ClientIcon();

} // namespace velmora::qt
