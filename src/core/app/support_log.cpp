#include "app/support_log.h"

#include "pinpad/bridge.h"
#include "ui/view.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace velmora {
namespace {

struct SupportLog {
    char path[1024];
    char rotated[1030];
    std::FILE* file;
    long size;
    bool failed;         // given up on the file
    bool failureShown;   // the failure reached a status line
};
SupportLog g_log{};
// stdio's own buffer would come from the heap on the first write.
char g_fileBuffer[4096];

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

size_t HexRun(const char* p) {
    size_t n = 0;
    while (IsHex(p[n])) ++n;
    return n;
}

bool IsVerifyIns(unsigned ins) { return ins == 0x20 || ins == 0x21 || ins == 0x24 || ins == 0x2C; }

bool IsPinPadCode(unsigned long code) {
    return code == kPinPadVerifyStart || code == kPinPadVerifyFinish || code == kPinPadGetKeyPressed ||
           code == kPinPadAbort;
}

// How many characters of the hex payload at p stay readable; the rest is
// hidden. "TRANSMIT Tn " payloads keep their 5-byte header.
size_t TransmitKeep(const char* p, size_t run) {
    if (run < 4 || !IsVerifyIns(HexValue(p[2]) * 16 + HexValue(p[3]))) return run;
    return run > 10 ? 10 : run;
}

struct Writer {
    char* out;
    size_t size;
    size_t used;
    void Put(const char* text, size_t n) {
        for (size_t i = 0; i < n && used + 1 < size; ++i) out[used++] = text[i];
    }
};

// At a command word: copies it and its payload, hidden as needed; returns
// the characters consumed, 0 if p starts no command with data.
size_t RedactCommand(const char* p, Writer* w) {
    if (std::strncmp(p, "TRANSMIT T", 10) == 0 && p[10] != '\0' && p[11] == ' ') {
        size_t run = HexRun(p + 12);
        size_t keep = TransmitKeep(p + 12, run);
        w->Put(p, 12 + keep);
        if (keep < run) w->Put("**", 2);
        return 12 + run;
    }
    if (std::strncmp(p, "IOCTL ", 6) == 0) {
        size_t codeLength = HexRun(p + 6);
        unsigned long code = 0;
        for (size_t i = 0; i < codeLength && i < 8; ++i) code = code * 16 + HexValue(p[6 + i]);
        if (codeLength == 0 || codeLength > 8 || !IsPinPadCode(code) || p[6 + codeLength] != ' ') return 0;
        size_t run = HexRun(p + 7 + codeLength);
        w->Put(p, 7 + codeLength);
        if (run > 0) w->Put("**", 2);
        return 7 + codeLength + run;
    }
    return 0;
}

void ShowFailure(ConnectionDialogView* dialog) {
    if (dialog == nullptr || g_log.failureShown) return;
    g_log.failureShown = true;
    char text[1100];
    std::snprintf(text, sizeof text, "Protokolldatei '%.1000s' kann nicht geschrieben werden", g_log.path);
    // Not through ShowStatus: that would come back here.
    dialog->SetStatusText(text);
}

void Fail() {
    if (g_log.file != nullptr) std::fclose(g_log.file);
    g_log.file = nullptr;
    g_log.failed = true;
    ShowFailure(ConnectionDialog());
}

bool OpenFile() {
    g_log.file = std::fopen(g_log.path, "ab");
    if (g_log.file == nullptr) return false;
    std::setvbuf(g_log.file, g_fileBuffer, _IOFBF, sizeof g_fileBuffer);
    std::fseek(g_log.file, 0, SEEK_END);
    g_log.size = std::ftell(g_log.file);
    if (g_log.size < 0) g_log.size = 0;
    return true;
}

// The full file becomes the one older copy; a new file starts.
bool Rotate() {
    std::fclose(g_log.file);
    g_log.file = nullptr;
    std::remove(g_log.rotated);
    if (std::rename(g_log.path, g_log.rotated) != 0) return false;
    return OpenFile();
}

void FormatTime(char* text, size_t size) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    std::strftime(text, size, "%Y-%m-%d %H:%M:%S", &local);
}

} // namespace

size_t RedactPins(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    Writer w{out, size, 0};
    const char* p = text;
    while (*p != '\0' && w.used + 1 < size) {
        size_t consumed = RedactCommand(p, &w);
        if (consumed == 0) {
            w.Put(p, 1);
            consumed = 1;
        }
        p += consumed;
    }
    out[w.used] = '\0';
    return w.used;
}

void OpenSupportLog(const char* path) {
    CloseSupportLog();
    g_log = SupportLog{};
    if (path == nullptr || path[0] == '\0') return;
    std::snprintf(g_log.path, sizeof g_log.path, "%s", path);
    std::snprintf(g_log.rotated, sizeof g_log.rotated, "%s.1", g_log.path);
    if (!OpenFile()) g_log.failed = true;
}

void CloseSupportLog() {
    if (g_log.file != nullptr) std::fclose(g_log.file);
    g_log.file = nullptr;
    g_log.path[0] = '\0';
}

bool SupportLogOn() { return g_log.file != nullptr; }

void SupportLogLine(char kind, const char* text) {
    if (g_log.file == nullptr) return;
    char line[kSupportLineSize];
    FormatTime(line, 32);
    size_t used = std::strlen(line);
    line[used++] = ' ';
    line[used++] = kind;
    line[used++] = ' ';
    used += RedactPins(text, line + used, sizeof line - used - 1);
    // One entry is one line: breaks inside become " | ", trailing ones go.
    size_t end = used;
    while (end > 3 && (line[end - 1] == '\n' || line[end - 1] == '\r')) --end;
    char flat[kSupportLineSize + 600];
    size_t n = 0;
    for (size_t i = 0; i < end && n + 4 < sizeof flat; ++i) {
        if (line[i] == '\r') continue;
        if (line[i] == '\n') {
            std::memcpy(flat + n, " | ", 3);
            n += 3;
            continue;
        }
        flat[n++] = line[i];
    }
    flat[n++] = '\n';
    if (g_log.size + static_cast<long>(n) > kSupportLogCap && !Rotate()) {
        Fail();
        return;
    }
    if (std::fwrite(flat, 1, n, g_log.file) != n || std::fflush(g_log.file) != 0) {
        Fail();
        return;
    }
    g_log.size += static_cast<long>(n);
}

void ReportSupportLogFailure(ConnectionDialogView* dialog) {
    if (g_log.failed) ShowFailure(dialog);
}

} // namespace velmora
