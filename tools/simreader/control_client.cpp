#include "control_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simreader {

bool ControlClient::Connect(const std::string& path) {
    Close();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        Close();
        errno = saved;
        return false;
    }
    return true;
}

bool ControlClient::Send(const std::string& line, std::string* reply) {
    std::string out = line + "\n";
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        char buffer[4096];
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
    *reply = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return true;
}

void ControlClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

std::string SendCommand(const std::string& path, const std::string& line) {
    ControlClient client;
    std::string reply;
    if (!client.Connect(path)) return std::string("ERR cannot reach ") + path + ": " + std::strerror(errno);
    if (!client.Send(line, &reply)) return "ERR connection to " + path + " lost";
    return reply;
}

} // namespace simreader
