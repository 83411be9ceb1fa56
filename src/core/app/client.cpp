#include "app/client.h"

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
}

void ClientShutdown() {
    ReleaseReaderAccess();
    LinkShutdown();
    SetConnectionDialog(nullptr);
}

} // namespace velmora
