#include "ui/dialog_text.h"

#include <cstring>

namespace velmora {

void DialogText::SetStatus(const char* text) {
    size_t length = std::strlen(text);
    if (length >= sizeof status_) length = sizeof status_ - 1;
    std::memcpy(status_, text, length);
    status_[length] = '\0';
    changes_ |= kStatusChanged;
}

void DialogText::DropOldestLinesFor(size_t room) {
    // Cut after the last line break that leaves enough room; without one,
    // the log's tail is cut where it must be.
    size_t limit = kLogTextCapacity - room;
    size_t keep = 0;
    for (size_t i = 0; i < limit && i < logLength_; ++i) {
        if (log_[i] == '\n') keep = i + 1;
    }
    if (keep == 0) keep = limit;
    logLength_ = keep;
    log_[logLength_] = '\0';
}

void DialogText::InsertLog(size_t position, const char* text) {
    size_t length = std::strlen(text);
    if (length > kLogTextCapacity) length = kLogTextCapacity;
    if (logLength_ + length > kLogTextCapacity) DropOldestLinesFor(length);
    if (position > logLength_) position = logLength_;
    std::memmove(log_ + position + length, log_ + position, logLength_ - position);
    std::memcpy(log_ + position, text, length);
    logLength_ += length;
    log_[logLength_] = '\0';
    changes_ |= kLogChanged;
}

size_t DialogText::LogLineStart(int line) const {
    size_t at = 0;
    for (int i = 0; i < line; ++i) {
        const void* end = std::memchr(log_ + at, '\n', logLength_ - at);
        if (end == nullptr) return 0;
        at = static_cast<size_t>(static_cast<const char*>(end) - log_) + 1;
    }
    return at < logLength_ ? at : 0;
}

void DialogText::CutLogFrom(size_t position) {
    if (position >= logLength_) return;
    logLength_ = position;
    log_[logLength_] = '\0';
    changes_ |= kLogChanged;
}

void DialogText::Clear() {
    status_[0] = '\0';
    logLength_ = 0;
    log_[0] = '\0';
    changes_ = kStatusChanged | kLogChanged;
}

unsigned DialogText::TakeChanges() {
    unsigned changes = changes_;
    changes_ = 0;
    return changes;
}

} // namespace velmora
