#include "control_server.h"

#include "reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace simreader {
namespace {

constexpr size_t kLineMax = 65536;
constexpr int kBacklog = 8;

struct Client {
    int fd;
    std::string pending;
};

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Answers every complete line received so far; false when the client is
// to be dropped.
bool Serve(Client* client, Reader* reader) {
    char buffer[4096];
    ssize_t n = read(client->fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    client->pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = client->pending.find('\n')) != std::string::npos) {
        std::string line = client->pending.substr(0, end);
        client->pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!WriteAll(client->fd, reader->Command(line) + "\n")) return false;
    }
    return client->pending.size() <= kLineMax;
}

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

int Listen(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, kBacklog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

bool ControlServer::Start(const std::string& path, Reader* reader) {
    if (pipe2(wake_, O_CLOEXEC) != 0) return false;
    listen_ = Listen(path);
    if (listen_ < 0) {
        int saved = errno;
        Stop();
        errno = saved;
        return false;
    }
    path_ = path;
    reader_ = reader;
    thread_ = std::thread(&ControlServer::Loop, this);
    return true;
}

void ControlServer::Stop() {
    if (thread_.joinable()) {
        char stop = 1;
        (void)!write(wake_[1], &stop, 1);
        thread_.join();
    }
    CloseFd(&listen_);
    CloseFd(&wake_[0]);
    CloseFd(&wake_[1]);
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
}

void ControlServer::Loop() {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        for (size_t i = clients.size(); i-- > 0;) {
            if (fds[i + 2].revents == 0 || Serve(&clients[i], reader_)) continue;
            close(clients[i].fd);
            clients.erase(clients.begin() + static_cast<long>(i));
        }
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) clients.push_back({fd, {}});
        }
    }
    for (const Client& c : clients) close(c.fd);
}

} // namespace simreader
