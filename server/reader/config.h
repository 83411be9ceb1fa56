// A reader's settings from its reader.conf DEVICENAME:
//   HOST:PORT                       e.g. 127.0.0.1:9688
//   "HOST:PORT option ..."          options after the address (quoted, with blanks)
//   HOST:PORT:/path/options.conf    options in a file, one a line, # comments
// Options: timeout=MS (reply time-out), allow=IP[,IP...] (peers allowed to
// connect; any when not given), keepalive=IDLE,INTERVAL,COUNT (seconds, TCP
// keepalive on the client's connection; unacknowledged data is given as long),
// probe=MS (how long a connected client may take to answer STATE when a new
// one knocks).
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
    // A path that died silently is found within IDLE + INTERVAL * COUNT s.
    int keepIdleS = 10;
    int keepIntervalS = 5;
    int keepCount = 3;
    int probeMs = 2000;
    Options options;
};

// False with a one-line reason in `error` (capacity bytes).
bool ParseConfig(const char* deviceName, Config* config, char* error, size_t capacity);
bool PeerAllowed(const Config& config, uint32_t peer);

} // namespace velmora::reader
