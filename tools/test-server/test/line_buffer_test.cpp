#include "line_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmora::server::Line;
using velmora::server::LineBuffer;

namespace {

// Feeds the stream in pieces of the given size and collects the lines;
// cut lines come back with a leading '~'.
std::vector<std::string> Split(const std::string& stream, size_t piece, size_t cap = 8) {
    LineBuffer buffer(cap);
    std::vector<std::string> lines;
    Line line;
    for (size_t at = 0; at < stream.size(); at += piece) {
        std::string part = stream.substr(at, piece);
        buffer.Append(part.data(), part.size());
        while (buffer.Next(&line)) lines.push_back((line.cut ? "~" : "") + line.text);
    }
    if (buffer.TakeRest(&line)) lines.push_back("rest:" + line.text);
    return lines;
}

struct SplitCase {
    std::string stream;
    std::vector<std::string> lines;
};

TEST(LineBuffer, GivesTheSameLinesHoweverTheBytesArrive) {
    const SplitCase cases[] = {
        {"200 A\n200 B\n", {"200 A", "200 B"}},
        {"200 A\r\nEVENT X\r\n", {"200 A", "EVENT X"}},  // CR LF ends a line too
        {"a\rb\n", {"a\rb"}},                            // a CR inside stays
        {"\n\n", {"", ""}},
        {"12345678\n", {"12345678"}},              // exactly the cap: whole
        {"123456789\nok\n", {"~12345678", "ok"}},  // one over: cut, rest dropped
        {"123456789abcdefghij\nok\n", {"~12345678", "ok"}},
        {"123456789abc", {"~12345678"}},      // no rest after a cut
        {"200 A\n20", {"200 A", "rest:20"}},  // unfinished last line
    };
    for (const SplitCase& c : cases) {
        for (size_t piece : {1, 2, 3, 7, 64}) {
            EXPECT_EQ(Split(c.stream, piece), c.lines) << "piece " << piece << ": " << c.stream;
        }
    }
}

TEST(LineBuffer, StaysSmallWhileAPeerNeverEndsItsLine) {
    LineBuffer buffer(8);
    Line line;
    std::string chunk(1000, 'x');
    int cuts = 0;
    for (int i = 0; i < 1000; ++i) {
        buffer.Append(chunk.data(), chunk.size());
        while (buffer.Next(&line)) cuts += line.cut ? 1 : 0;
    }
    EXPECT_EQ(cuts, 1);
    buffer.Append("\nnext\n", 6);
    ASSERT_TRUE(buffer.Next(&line));
    EXPECT_EQ(line.text, "next");
    EXPECT_FALSE(line.cut);
}

}  // namespace
