// A reader's settings from its reader.conf DEVICENAME:
//   HOST:PORT                       e.g. 127.0.0.1:9688
//   "HOST:PORT option ..."          options after the address (quoted, with blanks)
//   HOST:PORT:/path/options.conf    options in a file, one a line, # comments
//   unix:PATH                       a Unix socket instead (PATH may start with
//                                   $XDG_RUNTIME_DIR); options follow as above
// Options: timeout=MS (reply time-out), allow=IP[,IP...] (peers allowed to
// connect; any when not given), cache=on|off (keep what cannot change, on by
// default; off asks the client every time), keepalive=IDLE,INTERVAL,COUNT
// (seconds, TCP keepalive on the client's connection; unacknowledged data is
// given as long), probe=MS (how long a connected client may take to answer
// STATE when a new one knocks).
#pragma once

#include "session.h"

#include <cstddef>
#include <cstdint>

namespace velmora::reader {

constexpr size_t kMaxAllowed = 16;
constexpr uint16_t kDefaultPort = 9688;
constexpr size_t kUnixPathSize = 108;  // sockaddr_un's sun_path

struct Config {
    uint32_t address = 0x7F000001;  // host byte order
    uint16_t port = kDefaultPort;
    char unixPath[kUnixPathSize] = {};  // set: listen on this Unix socket, not on TCP
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
// The runtime directory "$XDG_RUNTIME_DIR" stands for: the variable, else
// /run/user/UID of this process.
void RuntimeDirectory(char* text, size_t size);

} // namespace velmora::reader
