#include "app/client.h"

#include "app/settings.h"
#include "app/support_log.h"
#include "app/tray_status.h"
#include "link/reconnect.h"
#include "reader/card.h"
#include "reader/readers.h"

#include <atomic>

namespace velmora {
namespace {
// Atomic: a monitor thread left running after a retire may still look.
std::atomic<Shell*> g_shell{nullptr};
} // namespace

void SetShell(Shell* shell) { g_shell.store(shell, std::memory_order_release); }
Shell* CurrentShell() { return g_shell.load(std::memory_order_acquire); }

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
