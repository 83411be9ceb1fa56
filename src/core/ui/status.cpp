#include "ui/view.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace velmora {
namespace {
// Read by the card monitor's error path as well, hence atomic.
std::atomic<ConnectionDialogView*> g_connectionDialog{nullptr};
} // namespace

ConnectionDialogView* ConnectionDialog() { return g_connectionDialog.load(std::memory_order_acquire); }

void SetConnectionDialog(ConnectionDialogView* dialog) {
    g_connectionDialog.store(dialog, std::memory_order_release);
}

void ShowStatus(ConnectionDialogView* dialog, const char* format, ...) {
    if (dialog == nullptr) return;
    char text[kStatusTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    dialog->SetStatusText(text);
}

void LogInsert(size_t position, const char* text) {
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
