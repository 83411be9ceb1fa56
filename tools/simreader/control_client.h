// The client end of a simulated reader's control socket.
#pragma once

#include <string>

namespace simreader {

class ControlClient {
public:
    ControlClient() = default;
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;
    ~ControlClient() { Close(); }

    // False with errno set if the socket cannot be reached.
    bool Connect(const std::string& path);
    // One command line out, its reply line (without the newline) back.
    // False if the connection fails on the way.
    bool Send(const std::string& line, std::string* reply);
    void Close();

private:
    int fd_ = -1;
    std::string pending_;
};

// Connects, sends one line and returns its reply; on failure the reply is
// "ERR " and the reason.
std::string SendCommand(const std::string& path, const std::string& line);

} // namespace simreader
