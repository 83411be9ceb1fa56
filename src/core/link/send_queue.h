// Bytes the socket did not take yet, kept in order until it is writable
// again (FD_WRITE on Windows, a write notifier on Linux).
#pragma once

#include <cstddef>
#include <cstring>

namespace velmora {

class SendQueue {
public:
    // Room for a few dozen replies; a peer that takes less than that for
    // so long is treated as gone.
    static constexpr size_t kCapacity = 16384;

    bool Empty() const { return size_ == 0; }
    size_t Size() const { return size_; }
    const char* Data() const { return buffer_ + start_; }

    // False, with nothing added, when the bytes do not fit.
    bool Append(const char* data, size_t length) {
        if (length > kCapacity - size_) return false;
        if (start_ + size_ + length > kCapacity) {
            std::memmove(buffer_, buffer_ + start_, size_);
            start_ = 0;
        }
        std::memcpy(buffer_ + start_ + size_, data, length);
        size_ += length;
        return true;
    }

    void Consume(size_t length) {
        if (length > size_) length = size_;
        start_ += length;
        size_ -= length;
        if (size_ == 0) start_ = 0;
    }

    void Clear() { start_ = size_ = 0; }

private:
    char buffer_[kCapacity];
    size_t start_ = 0;
    size_t size_ = 0;
};

} // namespace velmora
