// Test build only: a local socket named by VELMORA_TEST_HOOK takes one
// command per line and answers one line, so the end-to-end tests can press
// buttons, read the controls and take screenshots of the real windows.
#include "app/test_hook.h"

#include "app/tray_app.h"
#include "link/link.h"
#include "pinpad/pin_dialog.h"
#include "reader/card.h"
#include "ui/pin_entry_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace velmora::qt {
namespace {

QWidget* ActiveModal() { return QApplication::activeModalWidget(); }

QJsonObject ControlState(QWidget* w) {
    QJsonObject o;
    o["enabled"] = w->isEnabled();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        o["text"] = b->text();
        if (b->isCheckable()) o["checked"] = b->isChecked();
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) o["text"] = e->text();
    if (auto* l = qobject_cast<QLabel*>(w)) o["text"] = l->text();
    if (auto* c = qobject_cast<QComboBox*>(w)) {
        QJsonArray items;
        for (int i = 0; i < c->count(); ++i) items.append(c->itemText(i));
        o["items"] = items;
        o["index"] = c->currentIndex();
    }
    return o;
}

class TestHook : public QObject {
public:
    explicit TestHook(TrayApp* app) : QObject(app), app_(app) {
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        QString path = qEnvironmentVariable("VELMORA_TEST_HOOK");
        QLocalServer::removeServer(path);
        server_.listen(path);
        connect(&server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* s = server_.nextPendingConnection()) {
                connect(s, &QLocalSocket::readyRead, this, [this, s] { Serve(s); });
                connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

private:
    void Serve(QLocalSocket* socket) {
        while (socket->canReadLine()) {
            QString line = QString::fromUtf8(socket->readLine()).trimmed();
            QString answer = Run(line);
            socket->write(answer.toUtf8() + "\n");
            socket->flush();
        }
    }

    QWidget* Find(const QString& id) {
        ConnectionDialog* d = app_->Dialog();
        if (d == nullptr) return nullptr;
        static const QHash<QString, QString> names = {
            {"1001", "host"}, {"1002", "port"}, {"1005", "readers"}, {"1007", "protocol"},
            {"1010", "status"}, {"1011", "log"}};
        static const QHash<QString, QString> buttons = {
            {"1003", "Connect"}, {"1004", "Disconnect"}, {"1008", "Open"}, {"1009", "Close"}};
        if (names.contains(id)) return d->findChild<QWidget*>(names[id]);
        for (QAbstractButton* b : d->findChildren<QAbstractButton*>()) {
            if (buttons.value(id) == b->text()) return b;
            if (id == "1006" && qobject_cast<QCheckBox*>(b)) return b;
        }
        return nullptr;
    }

    QString State() {
        QJsonObject o;
        o["link"] = static_cast<int>(velmora::g_link.state);
        o["tray"] = app_->TrayAvailable();
        o["tip"] = app_->TrayTip();
        o["tray_connected"] = app_->TrayIconConnected();
        o["card_handle"] = velmora::g_card.card != 0;
        ConnectionDialog* d = app_->Dialog();
        o["dialog"] = d != nullptr;
        if (d != nullptr) {
            o["minimized"] = d->isMinimized();
            o["status"] = d->StatusText();
            o["log"] = d->LogText();
            for (const char* id : {"1001", "1002", "1003", "1004", "1005", "1006", "1007", "1008", "1009"}) {
                if (QWidget* w = Find(id)) o[id] = ControlState(w);
            }
        }
        if (QWidget* modal = ActiveModal()) o["modal"] = modal->windowTitle();
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }

    QString Later(const std::function<void()>& action) {
        // Modal loops must not start inside the hook's own call.
        QTimer::singleShot(0, app_, action);
        return QStringLiteral("ok");
    }

    QString Run(const QString& line) {
        QString verb = line.section(' ', 0, 0);
        QString rest = line.section(' ', 1);
        if (verb == "state") return State();
        if (verb == "tray-open") return Later([this] { app_->OpenDialog(); });
        if (verb == "tray-about") return Later([this] { app_->ShowAbout(); });
        if (verb == "tray-exit") return Later([this] { app_->Exit(); });
        if (verb == "menu") return Menu();
        if (verb.startsWith("pin-") || verb == "grab-pin") return Pin(verb, rest);
        if (verb == "modal-ok" || verb == "modal-escape" || verb == "modal-close") return Modal(verb);
        ConnectionDialog* d = app_->Dialog();
        if (d == nullptr) return QStringLiteral("error no dialog");
        if (verb == "click") return Click(rest);
        if (verb == "set") return SetText(rest.section(' ', 0, 0), rest.section(' ', 1));
        if (verb == "select") return Select(rest.toInt());
        if (verb == "minimize") return Later([d] { d->showMinimized(); });
        if (verb == "close-to-tray") return Later([this] { app_->CloseDialog(); });
        if (verb == "close-box") return Later([d] { d->close(); });
        if (verb == "grab") d->Render();
        if (verb == "grab") return d->grab().save(rest) ? QStringLiteral("ok") : QStringLiteral("error");
        if (verb == "grab-modal") {
            QWidget* m = ActiveModal();
            return m != nullptr && m->grab().save(rest) ? QStringLiteral("ok") : QStringLiteral("error");
        }
        return QStringLiteral("error unknown command");
    }

    QString Menu() {
        QJsonArray items;
        QMenu* menu = app_->findChild<QSystemTrayIcon*>() ? app_->findChild<QSystemTrayIcon*>()->contextMenu() : nullptr;
        if (menu == nullptr) return QStringLiteral("[]");
        for (QAction* a : menu->actions()) {
            QJsonObject o;
            o["text"] = a->text();
            o["default"] = menu->defaultAction() == a;
            o["separator"] = a->isSeparator();
            items.append(o);
        }
        return QString::fromUtf8(QJsonDocument(items).toJson(QJsonDocument::Compact));
    }

    QString Modal(const QString& verb) {
        QWidget* m = ActiveModal();
        if (m == nullptr) return QStringLiteral("error no modal");
        if (verb == "modal-close") return Later([m] { m->close(); });
        if (verb == "modal-escape") {
            return Later([m] { QMetaObject::invokeMethod(m, "reject"); });
        }
        for (QPushButton* b : m->findChildren<QPushButton*>()) {
            if (b->text() == "OK") return Later([b] { b->click(); });
        }
        return QStringLiteral("error no ok");
    }

    static PinEntryDialog* PinWindow() {
        return dynamic_cast<PinEntryDialog*>(velmora::PinDialog());
    }

    static void Key(QWidget* target, int key, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(target, &press);
        QCoreApplication::sendEvent(target, &release);
    }

    QString Pin(const QString& verb, const QString& rest) {
        PinEntryDialog* pin = PinWindow();
        if (verb == "pin-state") {
            QJsonObject o;
            o["open"] = pin != nullptr;
            if (pin != nullptr) {
                o["title"] = pin->windowTitle();
                o["text"] = pin->Field()->text();
                o["masked"] = pin->Field()->echoMode() == QLineEdit::Password;
                o["readonly"] = pin->Field()->isReadOnly();
                o["ok"] = pin->OkButton()->isEnabled();
                o["owned"] = pin->parentWidget() != nullptr;
            }
            return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
        }
        if (pin == nullptr) return QStringLiteral("error no pin dialog");
        if (verb == "pin-type") {
            for (QChar c : rest) Key(pin->Field(), c.isDigit() ? Qt::Key_0 + c.digitValue() : Qt::Key_A, QString(c));
            return QStringLiteral("ok");
        }
        if (verb == "pin-key") {
            static const QHash<QString, int> keys = {{"backspace", Qt::Key_Backspace},
                                                     {"escape", Qt::Key_Escape},
                                                     {"enter", Qt::Key_Return}};
            QWidget* target = rest == "escape" || rest == "enter" ? static_cast<QWidget*>(pin) : pin->Field();
            Key(target, keys.value(rest, Qt::Key_unknown), QString());
            return QStringLiteral("ok");
        }
        if (verb == "pin-ok") {
            if (!pin->OkButton()->isEnabled()) return QStringLiteral("disabled");
            pin->OkButton()->click();
            return QStringLiteral("ok");
        }
        if (verb == "pin-close") return Later([pin] { pin->close(); });
        if (verb == "grab-pin") return pin->grab().save(rest) ? QStringLiteral("ok") : QStringLiteral("error");
        return QStringLiteral("error unknown command");
    }

    QString Click(const QString& id) {
        auto* b = qobject_cast<QAbstractButton*>(Find(id));
        if (b == nullptr) return QStringLiteral("error no such button");
        if (!b->isEnabled()) return QStringLiteral("disabled");
        b->click();
        return QStringLiteral("ok");
    }

    QString SetText(const QString& id, const QString& text) {
        auto* e = qobject_cast<QLineEdit*>(Find(id));
        if (e == nullptr || !e->isEnabled()) return QStringLiteral("error");
        e->setText(text);
        return QStringLiteral("ok");
    }

    QString Select(int index) {
        auto* c = qobject_cast<QComboBox*>(Find("1005"));
        if (c == nullptr || !c->isEnabled()) return QStringLiteral("error");
        c->setCurrentIndex(index);
        emit c->activated(index);
        return QStringLiteral("ok");
    }

    TrayApp* app_;
    QLocalServer server_;
};

} // namespace

void InstallTestHook(TrayApp* app) {
    // Tests run their server on a private port; the dialog opens with it.
    bool ok = false;
    int port = qEnvironmentVariableIntValue("VELMORA_TEST_PORT", &ok);
    if (ok && port > 0 && port < 65536) velmora::g_link.port = static_cast<uint16_t>(port);
    // A dead path found within this many milliseconds, so tests need not wait 30 s.
    int keepalive = qEnvironmentVariableIntValue("VELMORA_TEST_KEEPALIVE_MS", &ok);
    if (ok && keepalive > 0) velmora::SetKeepaliveTimers(velmora::KeepaliveWithin(static_cast<uint32_t>(keepalive)));
    if (qEnvironmentVariableIsEmpty("VELMORA_TEST_HOOK")) return;
    new TestHook(app);  // owned by the application object
}

} // namespace velmora::qt
