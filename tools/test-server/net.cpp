#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::server {
namespace {

int g_stop_write = -1;

void OnStopSignal(int) {
    int saved = errno;
    [[maybe_unused]] ssize_t written = write(g_stop_write, "x", 1);
    errno = saved;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string Describe(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    bool v6 = address->sa_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + port;
}

std::string DescribeLocal(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
    return Describe(reinterpret_cast<sockaddr*>(&address), length);
}

int BindOne(const addrinfo* info, std::string* error) {
    int fd = socket(info->ai_family, info->ai_socktype, info->ai_protocol);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    int on = 1;
    // A restarted server must not wait for the old connection's TIME_WAIT.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, info->ai_addr, info->ai_addrlen) == 0 && listen(fd, 4) == 0) return fd;
    int failure = errno;
    *error = std::strerror(failure);
    close(fd);
    errno = failure;  // the caller tells a taken port apart
    return -1;
}

}  // namespace

int Listen(const std::string& address, int port, std::string* bound, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = address + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    bool in_use = false;
    for (addrinfo* info = found; info != nullptr && fd < 0; info = info->ai_next) {
        fd = BindOne(info, error);
        in_use = fd < 0 && errno == EADDRINUSE;  // of the failure *error names
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = address + ":" + std::to_string(port) + ": " + *error;
        // Mostly a second server, or one still running from before.
        if (in_use)
            *error +=
                ": another program listens there; stop it, or choose another port "
                "with --port (0 takes a free one)";
        return -1;
    }
    *bound = DescribeLocal(fd);
    return fd;
}

int AcceptClient(int listen_fd, int stop_fd, std::string* peer, std::string* error) {
    error->clear();
    pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) return -1;
        if (fds[0].revents == 0) continue;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int fd = accept(listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
        if (fd < 0) {
            // A client that gave up before we took it is no reason to stop.
            if (errno == ECONNABORTED || errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        SetNonBlocking(fd);
        *peer = Describe(reinterpret_cast<sockaddr*>(&address), length);
        return fd;
    }
    *error = std::strerror(errno);
    return -1;
}

int InstallStopSignals() {
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe(fds) != 0) return -1;
    SetNonBlocking(fds[0]);
    SetNonBlocking(fds[1]);
    g_stop_write = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return fds[0];
}

}  // namespace velmora::server
