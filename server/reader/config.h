// A reader's settings from its reader.conf DEVICENAME:
//   HOST:PORT                       e.g. 127.0.0.1:9688
//   "HOST:PORT option ..."          options after the address (quoted, with blanks)
//   HOST:PORT:/path/options.conf    options in a file, one a line, # comments
// Options: timeout=MS (reply time-out), allow=IP[,IP...] (peers allowed to
// connect; any when not given), cache=on|off (keep what cannot change, on by
// default; off asks the client every time).
#pragma once

#include "session.h"

#include <cstddef>
#include <cstdint>

namespace velmora::reader {

constexpr size_t kMaxAllowed = 16;
constexpr uint16_t kDefaultPort = 9688;

struct Config {
    uint32_t address = 0x7F000001;  // host byte order
    uint16_t port = kDefaultPort;
    uint32_t allowed[kMaxAllowed] = {};
    size_t allowedCount = 0;
    Options options;
};

// False with a one-line reason in `error` (capacity bytes).
bool ParseConfig(const char* deviceName, Config* config, char* error, size_t capacity);
bool PeerAllowed(const Config& config, uint32_t peer);

} // namespace velmora::reader
