// The client's start and end, as every shell runs them.
#pragma once

#include "app/shell.h"
#include "link/link.h"

namespace velmora {

// Start of a run: defaults for host and port, nothing open.
void ClientStart(Shell* shell, Network* network);

// End of a run: the card monitor stopped, the PC/SC context released, the
// server socket closed if a connection is being made or exists.
void ClientShutdown();

} // namespace velmora
