// The connection dialog's status line and protocol log as texts, kept apart
// from the controls that show them. A shell whose controls are costly to
// write (each write a round trip to the window system) keeps the texts here
// on the command path and copies what changed to its controls at its own
// display tick. Fixed buffers; user-interface thread only.
#pragma once

#include "ui/view.h"

#include <cstddef>

namespace velmora {

// Room for the hundred kept lines, the newest one above them (a command
// and its reply of up to 999 characters each) and the event lines that
// come between two commands. Past it the oldest lines go first.
constexpr size_t kLogTextCapacity = 256 * 1024;

class DialogText {
public:
    enum Change : unsigned { kStatusChanged = 1u, kLogChanged = 2u };

    // The whole text replaces the status line, cut at 1999 characters.
    void SetStatus(const char* text);
    // Inserts at position (past the end: at the end). When the log would
    // overflow, whole lines are dropped from its end (the oldest), and a
    // text that alone exceeds the room is cut.
    void InsertLog(size_t position, const char* text);
    // Where line `line` (from 0, lines end with '\n') begins, or 0 if the
    // log has no such line or it would begin at the very end.
    size_t LogLineStart(int line) const;
    void CutLogFrom(size_t position);
    // Both texts empty, as a newly opened dialog shows them.
    void Clear();

    const char* Status() const { return status_; }
    const char* Log() const { return log_; }
    size_t LogLength() const { return logLength_; }

    // Which texts changed since the previous call (kStatusChanged,
    // kLogChanged); the marks are cleared.
    unsigned TakeChanges();
    bool HasChanges() const { return changes_ != 0; }

private:
    void DropOldestLinesFor(size_t room);

    char status_[kStatusTextSize] = {};
    char log_[kLogTextCapacity + 1] = {};
    size_t logLength_ = 0;
    unsigned changes_ = 0;
};

} // namespace velmora
