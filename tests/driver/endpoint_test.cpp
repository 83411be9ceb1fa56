// The driver's network side on real loopback sockets, in-process: the
// reading thread and a caller on pcscd's side share the session (run under
// the thread sanitizer too).
#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

namespace velmora::reader {
namespace {

uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

int Connect(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // the split reply goes at once
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// One line from fd (without its newline); "" at the end.
std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

void SendText(int fd, const std::string& text) { ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size())); }

TEST(Endpoint, CommandsEventsAndConnectionsOverLoopback) {
    Config config;
    config.port = FreePort();
    Endpoint endpoint(config);
    ASSERT_TRUE(endpoint.Start());
    Session& session = endpoint.Reader();

    int client = Connect(config.port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(ReadLine(client), "HELLO velmora-reader");
    EXPECT_EQ(ReadLine(client), "CARD");
    SendText(client, "200 CARD PRESENT\n");
    ASSERT_TRUE(session.WaitForChange(5000));
    EXPECT_TRUE(session.Present());

    // The client's side: events in the same read as the reply, the reply
    // itself split over two sends.
    std::thread answering([client] {
        for (std::string line = ReadLine(client); !line.empty(); line = ReadLine(client)) {
            if (line == "STATE") {  // asked when the second client knocks
                SendText(client, "200 STATE SUCCESS SPECIFIC\n");
                continue;
            }
            SendText(client, "EVENT CARD REMOVED\nEVENT CARD INSERTED\n200 TRANSMIT SUCC");
            SendText(client, "ESS 9000\r\n");
        }
    });
    const uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    for (int i = 0; i < 200; ++i) {
        uint8_t out[16];
        size_t n = 0;
        ASSERT_EQ(session.Transmit(1, apdu, sizeof apdu, out, sizeof out, &n), Result::Ok);
        ASSERT_EQ(n, 2u);
        session.Present();
    }

    int second = Connect(config.port);
    char byte = 0;
    EXPECT_EQ(recv(second, &byte, 1, 0), 0);  // refused; the first goes on
    close(second);
    uint8_t out[16];
    size_t n = 0;
    EXPECT_EQ(session.Transmit(1, apdu, sizeof apdu, out, sizeof out, &n), Result::Ok);

    session.Present();  // takes the last swap's removal, as pcscd would
    shutdown(client, SHUT_RDWR);
    answering.join();
    close(client);
    for (int i = 0; i < 100 && session.Present(); ++i) session.WaitForChange(50);
    EXPECT_FALSE(session.Present());
    EXPECT_EQ(session.Transmit(1, apdu, sizeof apdu, out, sizeof out, &n), Result::NoCard);

    client = Connect(config.port);  // listening still
    EXPECT_EQ(ReadLine(client), "HELLO velmora-reader");
    close(client);
    endpoint.Stop();
}

int ConnectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

bool WaitForSocket(const std::string& path) {
    struct stat info {};
    for (int i = 0; i < 200; ++i) {
        if (lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && (info.st_mode & 0777) == 0600) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Connects as another user (nobody) and reads: 0 when the driver closed
// the connection at once, 1 when it greeted, 2 when connect() failed.
int ConnectAsNobody(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        int fd = ConnectUnix(path);
        if (fd < 0) _exit(2);
        char byte = 0;
        _exit(recv(fd, &byte, 1, 0) == 1 ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/velmora-endpoint-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

TEST(Endpoint, UnixSocketOnlyForItsOwnUser) {
    TempDir dir;
    chmod(dir.path.c_str(), 0755);
    const std::string path = dir.path + "/reader.sock";
    {
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);  // a socket file left by a crash
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(stale);
    }
    Config config;
    std::snprintf(config.unixPath, sizeof config.unixPath, "%s", path.c_str());
    Endpoint endpoint(config);
    ASSERT_TRUE(endpoint.Start());
    ASSERT_TRUE(WaitForSocket(path));
    // Before the user's client is there: nobody else may present the reader.
    if (geteuid() == 0) {
        EXPECT_EQ(ConnectAsNobody(path), 2);  // the mode keeps another user out
        chmod(path.c_str(), 0666);            // as if opened by hand: the credentials still do
        testing::internal::CaptureStderr();
        EXPECT_EQ(ConnectAsNobody(path), 0);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("connection from uid 65534"), std::string::npos) << log;
        EXPECT_NE(log.find("refused: not this reader's user"), std::string::npos) << log;
    }
    int client = ConnectUnix(path);
    ASSERT_GE(client, 0);
    EXPECT_EQ(ReadLine(client), "HELLO velmora-reader");
    if (geteuid() == 0) {
        EXPECT_EQ(ConnectAsNobody(path), 0);
    }
    struct stat info {};
    // The user's own client was never disturbed.
    EXPECT_EQ(ReadLine(client), "CARD");
    SendText(client, "200 CARD PRESENT\n");
    ASSERT_TRUE(endpoint.Reader().WaitForChange(5000));
    EXPECT_TRUE(endpoint.Reader().Present());
    close(client);
    endpoint.Stop();
    EXPECT_NE(lstat(path.c_str(), &info), 0);  // removed at the end
}

// A Unix-socket reader whose path another program holds with a plain file.
Config UnixConfigOverPlainFile(const std::string& path) {
    std::ofstream(path) << "not a socket";
    Config config;
    std::snprintf(config.unixPath, sizeof config.unixPath, "%s", path.c_str());
    return config;
}

TEST(Endpoint, UnixPathHeldByAnotherFileIsLeftAlone) {
    TempDir dir;
    const std::string path = dir.path + "/reader.sock";
    Config config = UnixConfigOverPlainFile(path);
    Endpoint endpoint(config);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(endpoint.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    endpoint.Stop();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("cannot listen: Address already in use"), std::string::npos) << log;
    std::ifstream kept(path);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "not a socket");
}

// The path freed later (the other file removed by hand): the reader comes up
// without pcscd being restarted, whatever number of tries failed before.
TEST(Endpoint, ListeningIsTriedAgainUntilThePathIsFree) {
    TempDir dir;
    const std::string path = dir.path + "/reader.sock";
    Config config = UnixConfigOverPlainFile(path);
    Endpoint endpoint(config);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(endpoint.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // past two tries
    unlink(path.c_str());
    bool listening = false;
    for (int i = 0; i < 5 && !listening; ++i) listening = WaitForSocket(path);
    endpoint.Stop();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(listening);
}

} // namespace
} // namespace velmora::reader

namespace velmora::reader {
namespace {

// A client that has answered CARD, then (live) answers STATE or (dead) stays silent.
TEST(Endpoint, ANewClientReplacesOnlyOneThatDoesNotAnswerState) {
    for (bool live : {true, false}) {
        Config config;
        config.port = FreePort();
        config.probeMs = 300;
        Endpoint endpoint(config);
        ASSERT_TRUE(endpoint.Start());
        int first = Connect(config.port);
        EXPECT_EQ(ReadLine(first), "HELLO velmora-reader");
        EXPECT_EQ(ReadLine(first), "CARD");
        SendText(first, "200 CARD PRESENT\n");
        ASSERT_TRUE(endpoint.Reader().WaitForChange(5000));
        int second = Connect(config.port);
        EXPECT_EQ(ReadLine(first), "STATE") << live;
        if (live) SendText(first, "200 STATE SUCCESS SPECIFIC\n");
        // The loser's connection ends; the winner gets the greeting.
        EXPECT_EQ(ReadLine(live ? second : first), "") << live;
        if (!live) {
            EXPECT_EQ(ReadLine(second), "HELLO velmora-reader");
        }
        if (live) {
            uint8_t out[16];
            size_t n = 0;
            std::thread answer([first] { ReadLine(first); SendText(first, "200 TRANSMIT SUCCESS 9000\n"); });
            const uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
            EXPECT_EQ(endpoint.Reader().Transmit(1, apdu, sizeof apdu, out, sizeof out, &n), Result::Ok);
            answer.join();
        }
        close(first);
        close(second);
        endpoint.Stop();
    }
}

// pcscd out of descriptors (its own clients can use them up): a knock that
// cannot be accepted stays pending on the listener, and the reading thread
// must not spin on it. Run in a child, whose descriptor limit is lowered.
TEST(Endpoint, AKnockThatCannotBeAcceptedDoesNotSpin) {
    pid_t child = fork();
    if (child == 0) {
        Config config;
        config.port = FreePort();
        Endpoint endpoint(config);
        if (!endpoint.Start()) _exit(2);
        int first = Connect(config.port);
        if (first < 0 || ReadLine(first) != "HELLO velmora-reader") _exit(3);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(first) + 16;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(4);
        int spare = -1;
        for (int fd = dup(first); fd >= 0; fd = dup(first)) spare = fd;
        close(spare);  // for the second client's own end; none left for accept
        int second = Connect(config.port);
        if (second < 0) _exit(5);
        rusage before{};
        rusage after{};
        getrusage(RUSAGE_SELF, &before);
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        getrusage(RUSAGE_SELF, &after);
        auto micros = [](const rusage& r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
        };
        const long used = micros(after) - micros(before);
        std::fprintf(stderr, "CPU over 2 s of waiting: %ld us\n", used);
        _exit(used < 200000 ? 0 : 1);  // a spinning thread takes most of the 2 s
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A peer that sends without pause must not keep the reading thread from
// its other work: pcscd's close of the reader waits for that thread.
TEST(Endpoint, StopsWhileAPeerFloods) {
    Config config;
    config.port = FreePort();
    Endpoint endpoint(config);
    ASSERT_TRUE(endpoint.Start());
    int client = Connect(config.port);
    ASSERT_GE(client, 0);
    ASSERT_EQ(ReadLine(client), "HELLO velmora-reader");
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const std::string lines(1 << 16, '\n');
        while (flooding && send(client, lines.data(), lines.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stopped = std::async(std::launch::async, [&] { endpoint.Stop(); });
    const bool inTime = stopped.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    flooding = false;
    stopped.wait();
    flood.join();
    close(client);
    EXPECT_TRUE(inTime);
}

} // namespace
} // namespace velmora::reader
