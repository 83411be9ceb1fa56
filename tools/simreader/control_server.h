// The control channel of one reader: a UNIX socket served by its own thread,
// one command line in, one reply line out, any number of clients.
#pragma once

#include <string>
#include <thread>

namespace simreader {

class Reader;

class ControlServer {
public:
    ControlServer() = default;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer() { Stop(); }

    // Listens on path (replacing a stale socket); false with errno set if
    // it cannot.
    bool Start(const std::string& path, Reader* reader);
    // Ends the thread, closes every connection and removes the socket.
    void Stop();

private:
    void Loop();

    std::string path_;
    Reader* reader_ = nullptr;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace simreader
