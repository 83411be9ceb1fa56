#include "app/client.h"

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
}

void ClientShutdown() {
    ReleaseReaderAccess();
    LinkShutdown();
    SetConnectionDialog(nullptr);
}

} // namespace velmora
