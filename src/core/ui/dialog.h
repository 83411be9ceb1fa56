// The connection dialog's behaviour, called by the shell's dialog.
#pragma once

#include "ui/view.h"

namespace velmora {

// The dialog has been created: fill the reader list (which may queue an
// Open), show host and port, focus Connect, refresh, and queue the
// auto-connect. The shell centres the window itself.
void ConnectionDialogOpened(ConnectionDialogView* dialog);

// Connects with the dialog's host and port if the enable rules offer Connect.
void ConnectIfAllowed(ConnectionDialogView* dialog);

// A command of the dialog; false for ids the dialog does not handle.
bool ConnectionDialogCommand(ConnectionDialogView* dialog, int id, int notification);

} // namespace velmora
