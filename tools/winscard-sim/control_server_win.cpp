#include "control_server_win.h"

#include "reader.h"

#include <winsock2.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace winscardsim {
namespace {

constexpr size_t kLineMax = 65536;

struct Client {
    SOCKET socket;
    std::string pending;
};

bool WriteAll(SOCKET socket, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        int n = send(socket, text.data() + done, static_cast<int>(text.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Answers every complete line received so far; false when the client is
// to be dropped.
bool Serve(Client* client, simreader::Reader* reader) {
    char buffer[4096];
    int n = recv(client->socket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    client->pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = client->pending.find('\n')) != std::string::npos) {
        std::string line = client->pending.substr(0, end);
        client->pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!WriteAll(client->socket, reader->Command(line) + "\n")) return false;
    }
    return client->pending.size() <= kLineMax;
}

void Loop(SOCKET listener, simreader::Reader* reader) {
    std::vector<Client> clients;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        for (const Client& c : clients) FD_SET(c.socket, &readable);
        if (select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) return;
        for (size_t i = clients.size(); i-- > 0;) {
            if (!FD_ISSET(clients[i].socket, &readable) || Serve(&clients[i], reader)) continue;
            closesocket(clients[i].socket);
            clients.erase(clients.begin() + static_cast<long>(i));
        }
        if (FD_ISSET(listener, &readable) && clients.size() < FD_SETSIZE - 1) {
            SOCKET accepted = accept(listener, nullptr, nullptr);
            if (accepted != INVALID_SOCKET) clients.push_back({accepted, {}});
        }
    }
}

SOCKET Listen(unsigned short* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

// Written whole under another name first, so a reader of the file never
// sees half a number.
bool WritePortFile(const std::string& path, unsigned short port) {
    std::string partial = path + ".part";
    FILE* file = std::fopen(partial.c_str(), "w");
    if (file == nullptr) return false;
    bool written = std::fprintf(file, "%u\n", static_cast<unsigned>(port)) > 0;
    written = std::fclose(file) == 0 && written;
    return written && MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace

bool ControlServer::Start(const std::string& portFile, simreader::Reader* reader) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    unsigned short port = 0;
    SOCKET listener = Listen(&port);
    if (listener == INVALID_SOCKET) return false;
    if (!WritePortFile(portFile, port)) {
        closesocket(listener);
        return false;
    }
    std::thread(Loop, listener, reader).detach();
    return true;
}

} // namespace winscardsim
