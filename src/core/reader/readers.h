// The reader list and the opening and closing of the selected reader.
// User-interface thread only.
#pragma once

#include "ui/view.h"

namespace velmora {

// Rebuilds the dialog's reader list; selects the last opened reader if it is
// listed, otherwise the first reader whose card speaks T=1, and queues an
// Open for that one.
void FillReaderList(ConnectionDialogView* dialog);

// Opens the reader chosen in the dialog and announces its card state.
void OpenReader(ConnectionDialogView* dialog);

// Closes the open reader, announcing a removal if a card was present.
void CloseReader(ConnectionDialogView* dialog);

// Program end: stops the monitor and releases the PC/SC context.
void ReleaseReaderAccess();

} // namespace velmora
