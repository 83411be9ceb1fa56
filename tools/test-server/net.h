// Sockets and signals: the few POSIX calls the server makes outside its loop.
#pragma once

#include <string>

namespace velmora::server {

// Listens on ADDR:PORT (port 0: a free one); bound receives "ADDR:PORT" as
// actually bound. Returns the socket, or -1 with error set.
int Listen(const std::string& address, int port, std::string* bound, std::string* error);

// Waits for the next client, or until stop_fd turns readable (-1 then).
// The client's socket comes back non-blocking; peer is "ADDR:PORT".
int AcceptClient(int listen_fd, int stop_fd, std::string* peer, std::string* error);

// Ignores SIGPIPE and turns SIGINT and SIGTERM into a readable pipe, so poll
// loops see a stop request without races. Returns the pipe's read end, or -1.
int InstallStopSignals();

}  // namespace velmora::server
