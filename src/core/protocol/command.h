// The command interpreter: one command line from the server in, exactly one
// reply line out.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Where the interpreter finds a line's data, for what must read it exactly
// as the interpreter does (the support log). Apdu: a TRANSMIT, its hex
// payload at *payload. Control: an IOCTL, its code in *code and the hex input
// at *payload. None: no command with data starts the line. The protocol
// letters are not checked: a line refused for them still carries its data.
enum class CommandData { None, Apdu, Control };
CommandData LocateCommandData(const char* line, uint32_t* code, const char** payload);

// The GET_ATTRIBUTE command, after the interpreter has recognised it.
void QueryAttribute(const char* line, char* reply);

// Ends a direct connection to the reader at the end of IOCTL and GET_ATTRIBUTE.
void DropDirectConnection();

} // namespace velmora
