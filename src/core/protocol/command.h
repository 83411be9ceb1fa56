// The command interpreter: one command line from the server in, exactly one
// reply line out.
#pragma once

#include <cstddef>

namespace velmora {

constexpr size_t kCommandMax = 999;     // longest command line, in bytes
constexpr size_t kReplyMax = 998;       // longest reply line, in characters
constexpr size_t kReplyBufferMin = kReplyMax + 1;

// line: NUL-terminated, trailing white space already removed.
// reply: at least kReplyBufferMin bytes; always receives a reply line that
// begins with "200" or "500".
void InterpretCommand(const char* line, char* reply);

// Formats a reply line into reply, cut at kReplyMax characters.
void FormatReply(char* reply, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Appends a blank and the bytes in hex to a reply line if the whole text
// fits into kReplyMax characters; returns false and leaves the reply as it
// was if not.
bool AppendHexPayload(char* reply, const unsigned char* data, size_t length);

// The GET_ATTRIBUTE command, after the interpreter has recognised it.
void QueryAttribute(const char* line, char* reply);

// Ends a direct connection to the reader at the end of IOCTL and GET_ATTRIBUTE.
void DropDirectConnection();

} // namespace velmora
