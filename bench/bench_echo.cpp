// The cheapest possible client: answers every line at once with a fixed
// reply. Its round trip through the server peer is the floor of sockets and
// the peer itself, which the client's figures are read against.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_echo PORT\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bench_echo: connect");
        return 1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    static const char kReply[] = "200 STATE SUCCESS SPECIFIC\n";
    char buffer[4096];
    bool greeted = false;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        if (!greeted) {  // like the client, the first read is not answered
            greeted = true;
            continue;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n' && write(fd, kReply, sizeof kReply - 1) < 0) return 1;
        }
    }
    close(fd);
    return 0;
}
