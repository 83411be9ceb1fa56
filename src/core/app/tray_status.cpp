#include "app/tray_status.h"

#include "link/link.h"
#include "reader/card.h"

#include <cstdio>

namespace velmora {
namespace {
StatusWatcher* g_watcher = nullptr;
} // namespace

void SetStatusWatcher(StatusWatcher* watcher) { g_watcher = watcher; }

void NotifyStatusWatcher() {
    if (g_watcher != nullptr) g_watcher->LinkOrCardChanged();
}

bool TrayShowsConnected() { return LinkReached(g_link.state, LinkPhase::Connected); }

void FormatTrayTip(char* text, size_t size) {
    if (size == 0) return;
    const char* card = "kein Leser ge\xF6" "ffnet";
    if (ReaderOpen()) card = CardPresent() ? "Karte eingesteckt" : "keine Karte";
    if (TrayShowsConnected()) {
        std::snprintf(text, size, "Velmora Client \x96 verbunden mit %s:%u \x96 %s", g_link.host,
                      static_cast<unsigned>(g_link.port), card);
    } else {
        std::snprintf(text, size, "Velmora Client \x96 nicht verbunden \x96 %s", card);
    }
}

} // namespace velmora
