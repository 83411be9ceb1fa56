// One client per user session: the first start listens on a local socket
// in the user's runtime directory; a later start finds it, asks the first
// to bring its connection dialog to the front, and ends.
#pragma once

#include <QLocalServer>
#include <QObject>

#include <functional>

namespace velmora::qt {

class SingleInstance : public QObject {
public:
    // $XDG_RUNTIME_DIR/velmora-client.instance, or a per-user name in the
    // temporary directory where there is no runtime directory.
    static QString SocketPath();

    // True if another client is running and was asked to show its dialog.
    static bool AskRunningClient();

    // Listens for later starts; each calls show.
    bool Listen(std::function<void()> show);

private:
    QLocalServer server_;
};

} // namespace velmora::qt
