#include "line_buffer.h"

namespace velmora::server {

void LineBuffer::Append(const char* data, size_t length) {
    // Compact only when most of the buffer is spent, so many short lines in
    // one read cost one move, not one per line.
    if (head_ > 0 && head_ * 2 >= data_.size()) {
        data_.erase(0, head_);
        head_ = 0;
    }
    data_.append(data, length);
}

// True once the remainder of a cut line is gone and normal lines follow.
bool LineBuffer::SkipCutRemainder() {
    if (!discarding_) return true;
    size_t end = data_.find('\n', head_);
    if (end == std::string::npos) {
        data_.clear();
        head_ = 0;
        return false;
    }
    head_ = end + 1;
    discarding_ = false;
    return true;
}

void LineBuffer::Emit(size_t length, size_t consumed, bool cut, Line* line) {
    line->text.assign(data_, head_, length);
    line->cut = cut;
    if (!cut && !line->text.empty() && line->text.back() == '\r') line->text.pop_back();
    head_ += consumed;
}

bool LineBuffer::Next(Line* line) {
    if (!SkipCutRemainder()) return false;
    size_t end = data_.find('\n', head_);
    if (end == std::string::npos) {
        if (data_.size() - head_ <= cap_) return false;
        Emit(cap_, cap_, true, line);
        discarding_ = true;
        return true;
    }
    size_t length = end - head_;
    if (length > cap_) {
        Emit(cap_, length + 1, true, line);
        return true;
    }
    Emit(length, length + 1, false, line);
    return true;
}

bool LineBuffer::TakeRest(Line* line) {
    if (discarding_ || head_ >= data_.size()) return false;
    Emit(data_.size() - head_, data_.size() - head_, false, line);
    return true;
}

}  // namespace velmora::server
