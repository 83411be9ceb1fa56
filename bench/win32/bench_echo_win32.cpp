// The cheapest Windows client the server can talk to: a hidden window, a
// socket that notifies it by message (WSAAsyncSelect), and a message loop
// that answers every line with a fixed reply, as the real client's shell
// would if the command took no time and the dialog no drawing. Measured
// beside the client under Wine, it is the floor of Wine's sockets and
// message queue.
//   bench-echo-win32.exe PORT [REPLY]
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr UINT kSocketMessage = WM_USER + 4;
SOCKET g_socket = INVALID_SOCKET;
char g_reply[200] = "500 invalid command\n";
char g_line[1000];
size_t g_used = 0;

void AnswerLines(const char* data, int length) {
    for (int i = 0; i < length; ++i) {
        if (data[i] != '\n') {
            if (g_used < sizeof g_line) g_line[g_used++] = data[i];
            continue;
        }
        g_used = 0;
        send(g_socket, g_reply, static_cast<int>(std::strlen(g_reply)), 0);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketMessage) return DefWindowProcA(window, message, wParam, lParam);
    if (WSAGETSELECTEVENT(lParam) == FD_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    char data[1000];
    int got = recv(g_socket, data, sizeof data, 0);
    if (got > 0) AnswerLines(data, got);
    if (got == 0) PostQuitMessage(0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-echo-win32 PORT [REPLY]\n");
        return 2;
    }
    if (argc > 2) std::snprintf(g_reply, sizeof g_reply, "%s\n", argv[2]);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "BenchEchoWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("BenchEchoWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (window == nullptr || connect(g_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "bench-echo-win32: connect failed\n");
        return 1;
    }
    WSAAsyncSelect(g_socket, window, kSocketMessage, FD_READ | FD_CLOSE);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    closesocket(g_socket);
    WSACleanup();
    return 0;
}
