// The connection dialog's two outputs as the core sees them: the status line
// and the protocol log. Each shell implements this over its own widgets;
// texts are Windows-1252 and converted only inside the implementation.
#pragma once

#include <cstddef>

namespace velmora {

class DialogOutputs {
public:
    // Replaces the status line's text.
    virtual void SetStatusText(const char* text) = 0;
    // Inserts text into the protocol log at a character position.
    virtual void InsertLogText(size_t position, const char* text) = 0;
    // Character position at which the log's line `line` (from 0) begins, or
    // 0 if the log has no such line.
    virtual size_t LogLineStart(int line) = 0;
    // Removes everything from a character position to the end of the log.
    virtual void CutLogFrom(size_t position) = 0;

protected:
    ~DialogOutputs() = default;
};

constexpr size_t kStatusTextSize = 2000;  // 1999 characters and the terminator
constexpr int kLogMaxLines = 100;

// The open connection dialog's outputs; nullptr while the dialog is closed.
// Set and cleared by the shell on the user-interface thread.
DialogOutputs* ConnectionDialog();
void SetConnectionDialog(DialogOutputs* dialog);

// printf-style status text, cut at 1999 characters; nothing for a closed dialog.
void ShowStatus(DialogOutputs* dialog, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void LogInsert(size_t position, const char* text);
void LogTrim();

} // namespace velmora
