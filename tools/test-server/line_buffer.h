// Splits a byte stream into lines. Bytes arrive in any pieces; a line ends at
// "\n" and a "\r" before it is dropped. A line longer than the cap is cut: its
// first cap bytes come out marked as cut and the rest of it, up to the next
// "\n", is dropped, so a peer that never ends a line cannot grow our memory.
#pragma once

#include <cstddef>
#include <string>

namespace velmora::server {

constexpr size_t kLineCap = 64 * 1024;

struct Line {
    std::string text;
    bool cut = false;
};

class LineBuffer {
public:
    explicit LineBuffer(size_t cap = kLineCap) : cap_(cap) {}

    void Append(const char* data, size_t length);
    // Takes the next complete line; false while none is complete.
    bool Next(Line* line);
    // Takes an unfinished last line at the end of the stream, if there is one.
    bool TakeRest(Line* line);

private:
    bool SkipCutRemainder();
    void Emit(size_t length, size_t consumed, bool cut, Line* line);

    std::string data_;
    size_t head_ = 0;          // data_ before head_ is handed out already
    bool discarding_ = false;  // dropping what is left of a cut line
    size_t cap_;
};

}  // namespace velmora::server
