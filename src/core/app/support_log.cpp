#include "app/support_log.h"

#include "pinpad/state.h"
#include "protocol/command.h"
#include "protocol/hex.h"
#include "ui/view.h"
#include "wire/ascii.h"
#include "wire/secret.h"

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

bool IsHex(char c) { return HexDigitValue(c) >= 0; }

size_t HexRun(const char* p) {
    size_t n = 0;
    while (IsHex(p[n])) ++n;
    return n;
}

constexpr size_t kApduHeaderBytes = 5;  // CLA INS P1 P2 Lc stay readable

struct Writer {
    char* out;
    size_t size;
    size_t used;
    void Put(const char* text, size_t n) {
        for (size_t i = 0; i < n && used + 1 < size; ++i) out[used++] = text[i];
    }
};

// The payload at p as the interpreter reads it: its bytes, the characters
// they took, and the hex digits left over after them, hidden along with them.
struct Payload {
    uint8_t bytes[kPayloadSize];
    size_t count;
    size_t lead;  // white space before the first pair
    size_t end;   // characters up to the last hex digit that belongs to it
    size_t rest;  // and on over what a careless server may have put after it
};

bool IsPayloadRest(char c) { return IsHex(c) || c == ' ' || c == '\t' || c == '+' || c == '-'; }

// A log entry may hold several lines; the server's command was one of them.
void ReadPayload(const char* p, Payload* payload) {
    char line[kCommandMax + 1];
    size_t n = 0;
    while (n < kCommandMax && p[n] != '\0' && p[n] != '\n' && p[n] != '\r') {
        line[n] = p[n];
        ++n;
    }
    line[n] = '\0';
    size_t consumed = 0;
    payload->count = ParseHexText(line, payload->bytes, &consumed);
    payload->lead = consumed - 2 * payload->count;
    payload->end = consumed + HexRun(line + consumed);
    payload->rest = payload->end;
    for (size_t i = payload->end; IsPayloadRest(line[i]); ++i) {
        if (line[i] != ' ' && line[i] != '\t') payload->rest = i + 1;
    }
    WipeSecret(line, sizeof line);
}

// Writes a command's payload, keeping `keep` bytes readable when it is
// secret; returns the characters consumed.
size_t PutPayload(const char* p, const Payload& payload, bool secret, size_t keep, Writer* w) {
    const size_t end = secret ? payload.rest : payload.end;
    const size_t shown = secret ? payload.lead + 2 * keep : payload.end;
    w->Put(p, shown);
    if (shown < end) w->Put("**", 2);
    return end;
}

// A PIN-carrying APDU with anything after its header, read or not.
bool SecretApdu(const Payload& payload) {
    if (payload.count < 2 || !InsCarriesPin(payload.bytes[1])) return false;
    return payload.count > kApduHeaderBytes || payload.rest > payload.lead + 2 * payload.count;
}

bool IsLineSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A TRANSMIT the interpreter refuses (a tab, a doubled blank, another
// protocol) still reaches the log as received: the first run of hex digits
// on its line that reads as a PIN-carrying APDU keeps only its header.
// Returns the characters consumed, 0 when there is nothing to hide.
size_t RedactRefusedTransmit(const char* p, Writer* w) {
    constexpr size_t kWord = 8;  // "TRANSMIT"
    if (!AsciiStartsNoCase(p, "TRANSMIT") || !IsLineSpace(p[kWord])) return 0;
    size_t at = kWord;
    while (p[at] != '\0' && p[at] != '\n' && p[at] != '\r') {
        size_t run = HexRun(p + at);
        if (run >= 2 * (kApduHeaderBytes + 1)) {
            const int ins = HexDigitValue(p[at + 2]) * 16 + HexDigitValue(p[at + 3]);
            if (!InsCarriesPin(static_cast<uint8_t>(ins))) return 0;
            w->Put(p, at + 2 * kApduHeaderBytes);
            w->Put("**", 2);
            return at + run;
        }
        at += run > 0 ? run : 1;
    }
    return 0;
}

// At a command word: copies it and its payload, hidden as the rule for
// secrets says; returns the characters consumed, 0 if p starts no command
// with data.
size_t RedactCommand(const char* p, Writer* w) {
    uint32_t code = 0;
    const char* payloadText = nullptr;
    CommandData kind = LocateCommandData(p, &code, &payloadText);
    if (kind == CommandData::None) return RedactRefusedTransmit(p, w);
    const size_t head = static_cast<size_t>(payloadText - p);
    Payload payload;
    ReadPayload(payloadText, &payload);
    const bool secretApdu = kind == CommandData::Apdu && SecretApdu(payload);
    const bool secretControl = kind == CommandData::Control && IsPinPadCode(code);
    size_t consumed = 0;
    if (kind == CommandData::Apdu && !secretApdu) consumed = RedactRefusedTransmit(p, w);
    if (consumed == 0) {
        w->Put(p, head);
        const size_t keep = payload.count < kApduHeaderBytes ? payload.count : kApduHeaderBytes;
        consumed = head + PutPayload(payloadText, payload, secretApdu || secretControl, secretApdu ? keep : 0, w);
    }
    WipeSecret(payload.bytes, sizeof payload.bytes);
    return consumed;
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
