#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

namespace velmora::qt {
namespace {
constexpr int kAskLimitMs = 2000;
} // namespace

QString SingleInstance::SocketPath() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime + QStringLiteral("/velmora-client.instance");
    return QDir::tempPath() + QStringLiteral("/velmora-client-%1.instance").arg(getuid());
}

bool SingleInstance::AskRunningClient() {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kAskLimitMs)) return false;
    socket.write("show\n");
    socket.waitForBytesWritten(kAskLimitMs);
    // The first client answers once the dialog is up; a client that hangs
    // does not keep this one.
    socket.waitForReadyRead(kAskLimitMs);
    return true;
}

bool SingleInstance::Listen(std::function<void()> show) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    // Left behind by a client that did not end cleanly: nobody answered on it.
    QLocalServer::removeServer(SocketPath());
    if (!server_.listen(SocketPath())) return false;
    connect(&server_, &QLocalServer::newConnection, this, [this, show] {
        while (QLocalSocket* s = server_.nextPendingConnection()) {
            connect(s, &QLocalSocket::readyRead, s, [s, show] {
                if (!s->canReadLine()) return;
                s->readAll();
                show();
                s->write("ok\n");
                s->flush();
                s->disconnectFromServer();
            });
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    return true;
}

} // namespace velmora::qt
