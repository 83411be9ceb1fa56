// What the tray shows of the client's state when the user asks for it:
// link and card in the tip, connected or not in the icon. The shell watches
// for changes; the core tells it after every step that may have changed
// either. User-interface thread only.
#pragma once

#include <cstddef>

namespace velmora {

class StatusWatcher {
public:
    virtual void LinkOrCardChanged() = 0;

protected:
    ~StatusWatcher() = default;
};

// nullptr: nobody watches (the tray keeps its fixed icon and tip).
void SetStatusWatcher(StatusWatcher* watcher);
void NotifyStatusWatcher();

// "Velmora Client – verbunden mit H:P – Karte eingesteckt" in Windows-1252,
// cut to size - 1 characters.
void FormatTrayTip(char* text, size_t size);
bool TrayShowsConnected();

} // namespace velmora
