// simreader-ctl: drives a simulated reader from the command line, and lists
// the readers pcscd knows (PCSCLITE_CSOCK_NAME chooses the pcscd).
#include "control_client.h"

#include <PCSC/winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitFailed = 2;

int Usage() {
    std::fputs("usage: simreader-ctl READER COMMAND [ARGUMENT...]\n"
               "       simreader-ctl --readers\n"
               "READER is a control socket path, or a reader number under $SIMREADER_DIR.\n"
               "Exit status: 0 reply OK, 1 reply ERR, 2 no reply or no pcscd.\n",
               stderr);
    return kExitFailed;
}

bool IsNumber(const char* text) {
    return *text != '\0' && std::strspn(text, "0123456789") == std::strlen(text);
}

// A reader number becomes its socket under SIMREADER_DIR; anything else is a path.
std::string SocketPath(const char* reader) {
    const char* dir = std::getenv("SIMREADER_DIR");
    if (!IsNumber(reader) || dir == nullptr) return reader;
    return std::string(dir) + "/reader" + reader + ".sock";
}

int ListReaders() {
    SCARDCONTEXT context = 0;
    LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "simreader-ctl: %s\n", pcsc_stringify_error(rc));
        return kExitFailed;
    }
    char list[8192];
    DWORD length = sizeof list;
    rc = SCardListReaders(context, nullptr, list, &length);
    SCardReleaseContext(context);
    if (rc == SCARD_E_NO_READERS_AVAILABLE) return kExitOk;
    if (rc != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "simreader-ctl: %s\n", pcsc_stringify_error(rc));
        return kExitFailed;
    }
    for (const char* name = list; *name != '\0'; name += std::strlen(name) + 1) std::puts(name);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--readers") == 0) return ListReaders();
    if (argc < 3) return Usage();
    std::string line = argv[2];
    for (int i = 3; i < argc; ++i) line += std::string(" ") + argv[i];
    std::string reply = simreader::SendCommand(SocketPath(argv[1]), line);
    std::puts(reply.c_str());
    if (reply.rfind("OK", 0) == 0) return kExitOk;
    return reply.rfind("ERR cannot reach", 0) == 0 || reply.rfind("ERR connection", 0) == 0 ? kExitFailed
                                                                                          : kExitRefused;
}
