#include "app/tray_app.h"

#include "app/about_dialog.h"
#include "app/client.h"
#include "app/settings.h"
#include "ui/cp1252.h"
#include "pinpad/pin_dialog.h"
#include "ui/pin_entry_dialog.h"
#include "reader/monitor.h"

#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

namespace velmora::qt {

// Where the desktop shows tips in full, the Windows limit keeps both alike.
constexpr size_t kTrayTipSize = 128;

namespace {

QIcon CardIcon(bool grey) {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        qreal s = size / 16.0;
        painter.setPen(QPen(QColor(20, 50, 110), s));
        painter.setBrush(QColor(60, 120, 210));
        painter.drawRoundedRect(QRectF(1 * s, 3 * s, 14 * s, 10 * s), 1.5 * s, 1.5 * s);
        painter.setPen(QPen(QColor(120, 90, 10), 0.6 * s));
        painter.setBrush(QColor(235, 190, 60));
        painter.drawRoundedRect(QRectF(3 * s, 6 * s, 4 * s, 3.5 * s), 0.6 * s, 0.6 * s);
        painter.end();
        if (grey) {
            QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    QColor c = image.pixelColor(x, y);
                    int g = qGray(c.rgb());
                    image.setPixelColor(x, y, QColor(g, g, g, c.alpha() / 2));
                }
            }
            pixmap = QPixmap::fromImage(image);
        }
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon ClientIcon() { return CardIcon(false); }
QIcon DisconnectedIcon() { return CardIcon(true); }

TrayApp::TrayApp() {
    velmora::ClientStart(this, &network_);
    velmora::SetReconnectTimer(this);
    reconnect_.setSingleShot(true);
    connect(&reconnect_, &QTimer::timeout, this, [] { velmora::ReconnectTimerFired(); });
    trayAvailable_ = QSystemTrayIcon::isSystemTrayAvailable();
}

TrayApp::~TrayApp() {
    if (!exiting_) velmora::ClientShutdown();
    delete dialog_.data();
    delete menu_;  // a context menu has no parent to take it
    velmora::ClientStart(nullptr, nullptr);
}

void TrayApp::Start() {
    QApplication::setWindowIcon(ClientIcon());
    menu_ = new QMenu();
    QAction* open = menu_->addAction(QStringLiteral("Open"), this, &TrayApp::OpenDialog);
    menu_->addAction(QStringLiteral("Exit Velmora Client"), this, &TrayApp::Exit);
    menu_->addAction(QStringLiteral("About Velmora Client"), this, &TrayApp::ShowAbout);
    menu_->setDefaultAction(open);
    tray_ = new QSystemTrayIcon(ClientIcon(), this);
    tray_->setToolTip(QStringLiteral("Velmora Client"));
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this, &TrayApp::TrayActivated);
    if (trayAvailable_) tray_->show();
    trayStatus_ = velmora::CurrentSettings().trayStatus;
    if (trayStatus_) {
        velmora::SetStatusWatcher(this);
        tip_.clear();
        iconConnected_ = true;  // so the first update draws the greyed icon
        LinkOrCardChanged();
    }
    QTimer::singleShot(0, this, &TrayApp::OpenDialog);
}

void TrayApp::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // A double click opens; with the status shown a single click does too;
    // the menu is Qt's.
    if (reason == QSystemTrayIcon::DoubleClick) OpenDialog();
    if (reason == QSystemTrayIcon::Trigger && trayStatus_) OpenDialog();
}

void TrayApp::OpenDialog() {
    if (exiting_) return;
    if (dialog_ == nullptr) {
        auto* dialog = new ConnectionDialog(trayAvailable_);
        dialog->setAttribute(Qt::WA_DeleteOnClose, false);
        connect(dialog, &ConnectionDialog::exitRequested, this, &TrayApp::Exit);
        connect(dialog, &ConnectionDialog::closedToTray, this, &TrayApp::CloseDialog);
        dialog_ = dialog;
        dialog->show();
        dialog->Start();
        velmora::SetConnectionDialog(dialog);
    }
    if (dialog_->isMinimized()) dialog_->showNormal();
    dialog_->raise();
    dialog_->activateWindow();
}

void TrayApp::CloseDialog() {
    if (dialog_ == nullptr) return;
    DestroyPinDialog();
    velmora::SetConnectionDialog(nullptr);
    ConnectionDialog* dialog = dialog_;
    dialog_ = nullptr;
    dialog->hide();
    dialog->deleteLater();
}

void TrayApp::ShowAbout() {
    AboutDialog about;
    about.exec();
}

void TrayApp::Exit() {
    if (exiting_) return;
    exiting_ = true;
    CloseDialog();
    if (tray_ != nullptr) tray_->hide();
    velmora::ClientShutdown();
    QApplication::exit(0);
}

void TrayApp::PostCardEvent(const velmora::CardEvent& event) {
    // Queued onto the user-interface thread; callable from a monitor thread.
    QMetaObject::invokeMethod(this, [this, event] {
        if (!exiting_) velmora::HandleCardEvent(event);
    }, Qt::QueuedConnection);
}

velmora::PinDialogView* TrayApp::CreatePinDialog(velmora::ConnectionDialogView* owner) {
    // Owned by the connection dialog when that is open, so it goes with it.
    QWidget* parent = owner != nullptr && owner == dialog_.data() ? dialog_.data() : nullptr;
    auto* pin = new PinEntryDialog(parent);
    pin->show();
    return pin;
}

void TrayApp::DestroyPinDialog() { velmora::ClosePinDialog(); }

void TrayApp::StartReconnectTimer(uint32_t milliseconds) { reconnect_.start(static_cast<int>(milliseconds)); }

void TrayApp::StopReconnectTimer() { reconnect_.stop(); }

QString TrayApp::TrayTip() const { return tray_ != nullptr ? tray_->toolTip() : QString(); }

void TrayApp::LinkOrCardChanged() {
    if (tray_ == nullptr || exiting_) return;
    // Called after every command too: the tray is touched only on a change.
    char text[kTrayTipSize];
    velmora::FormatTrayTip(text, sizeof text);
    QString tip = FromCp1252(text);
    if (tip != tip_) {
        tip_ = tip;
        tray_->setToolTip(tip);
    }
    bool connected = velmora::TrayShowsConnected();
    if (connected != iconConnected_) {
        iconConnected_ = connected;
        tray_->setIcon(connected ? ClientIcon() : DisconnectedIcon());
    }
}

} // namespace velmora::qt
