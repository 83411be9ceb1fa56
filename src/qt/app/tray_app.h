// The application shell on Qt: the tray icon and its menu, the About dialog,
// the connection dialog's life, and the shell side of the core (card events
// queued onto the user-interface thread).
#pragma once

#include "app/shell.h"
#include "app/tray_status.h"
#include "link/reconnect.h"
#include "link/qt_network.h"
#include "ui/connection_dialog.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

class QMenu;

namespace velmora::qt {

class TrayApp : public QObject,
                public velmora::Shell,
                public velmora::ReconnectTimer,
                public velmora::StatusWatcher {
    Q_OBJECT

public:
    TrayApp();
    ~TrayApp() override;

    // Starts the client with the settings already handed to the core: tray
    // icon, then the Open command as the first thing the event loop does.
    void Start();

    void OpenDialog();
    void ShowAbout();
    void Exit();
    // Closes the dialog; the tray's Open brings up a new one.
    void CloseDialog();

    ConnectionDialog* Dialog() const { return dialog_; }
    bool TrayAvailable() const { return trayAvailable_; }
    QString TrayTip() const;
    bool TrayIconConnected() const { return iconConnected_; }

    void PostCardEvent(const velmora::CardEvent& event) override;
    velmora::PinDialogView* CreatePinDialog(velmora::ConnectionDialogView* owner) override;
    void DestroyPinDialog() override;

    void StartReconnectTimer(uint32_t milliseconds) override;
    void StopReconnectTimer() override;
    void LinkOrCardChanged() override;

private:
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);

    QtNetwork network_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* menu_ = nullptr;
    QPointer<ConnectionDialog> dialog_;
    bool trayAvailable_ = false;
    bool exiting_ = false;
    QTimer reconnect_;
    bool trayStatus_ = false;
    bool iconConnected_ = false;
    QString tip_;
};

// The tray and window icon, drawn at run time: a card with its chip.
QIcon ClientIcon();
// The same card, greyed: the tray's "not connected" when it shows the status.
QIcon DisconnectedIcon();

} // namespace velmora::qt
