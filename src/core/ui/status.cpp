#include "ui/view.h"

#include "app/support_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace velmora {
namespace {
// Read by the card monitor's error path as well, hence atomic.
std::atomic<ConnectionDialogView*> g_connectionDialog{nullptr};
// The last status text, for texts that build on it. User-interface thread.
char g_lastStatus[kStatusTextSize];
} // namespace

ConnectionDialogView* ConnectionDialog() { return g_connectionDialog.load(std::memory_order_acquire); }

void SetConnectionDialog(ConnectionDialogView* dialog) {
    g_connectionDialog.store(dialog, std::memory_order_release);
}

void ShowStatus(ConnectionDialogView* dialog, const char* format, ...) {
    // The support log takes status lines even while the dialog is closed.
    if (dialog == nullptr && !SupportLogOn()) return;
    char text[kStatusTextSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    size_t copied = length < 0 ? 0 : static_cast<size_t>(length);
    if (copied >= sizeof text) copied = sizeof text - 1;
    std::memcpy(g_lastStatus, text, copied);
    g_lastStatus[copied] = '\0';
    if (dialog != nullptr) dialog->SetStatusText(text);
    // After the dialog: a log that fails says so on the status line, and
    // that must not be overwritten by the line it failed on.
    SupportLogLine('S', text);
}

const char* LastStatusText() { return g_lastStatus; }

void LogInsert(size_t position, const char* text) {
    // A whole line at the top is a line of its own for the support log; the
    // link logs a command and its answer itself, as they are built in parts.
    if (position == 0 && SupportLogOn()) {
        size_t n = std::strlen(text);
        if (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n') SupportLogLine('P', text);
    }
    ConnectionDialogView* dialog = ConnectionDialog();
    if (dialog != nullptr) dialog->InsertLogText(position, text);
}

void LogTrim() {
    ConnectionDialogView* dialog = ConnectionDialog();
    if (dialog == nullptr) return;
    size_t cut = dialog->LogLineStart(kLogMaxLines);
    if (cut > 0) dialog->CutLogFrom(cut);
}

} // namespace velmora
