// Numeric IPv4 host texts, read the way inet_addr reads them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Parses "a.b.c.d" and its shorter forms ("a.b.c", "a.b", "a"), each part
// decimal, octal (leading 0) or hex (leading 0x). Returns false for anything
// else, and for 255.255.255.255, which inet_addr cannot tell from a failure.
bool ParseNumericHost(const char* text, uint32_t* networkOrder);

// The socket path of a host written "unix:/path" (a local socket instead of
// a TCP server, e.g. the end of an SSH forward only this user can open), or
// nullptr for any other host text.
const char* UnixSocketPath(const char* host);

// Dotted form of a network-order address, as inet_ntoa writes it.
void FormatDotted(uint32_t networkOrder, char* text, size_t size);

} // namespace velmora
