#include "app/client.h"

#include "app/settings.h"
#include "app/support_log.h"
#include "app/tray_status.h"
#include "link/reconnect.h"
#include "reader/card.h"
#include "reader/readers.h"

namespace velmora {
namespace {
Shell* g_shell = nullptr;
} // namespace

void SetShell(Shell* shell) { g_shell = shell; }
Shell* CurrentShell() { return g_shell; }

void ClientStart(Shell* shell, Network* network) {
    SetShell(shell);
    SetNetwork(network);
    ResetLink();
    SetReconnectTimer(nullptr);
    SetStatusWatcher(nullptr);
    UseSettings(DefaultSettings());
}

void ClientShutdown() {
    ReleaseReaderAccess();
    LinkShutdown();
    SetConnectionDialog(nullptr);
    CloseSupportLog();
}

} // namespace velmora
