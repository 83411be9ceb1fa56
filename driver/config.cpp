#include "config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::reader {
namespace {

constexpr size_t kTextMax = 512;

bool ParseAddress(const char* text, uint32_t* address) {
    if (std::strcmp(text, "localhost") == 0) text = "127.0.0.1";
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    *address = ntohl(parsed.s_addr);
    return true;
}

bool ParseNumber(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

bool ParseAllowed(char* list, Config* config) {
    for (char* item = std::strtok(list, ","); item != nullptr; item = std::strtok(nullptr, ",")) {
        if (config->allowedCount == kMaxAllowed) return false;
        if (!ParseAddress(item, &config->allowed[config->allowedCount])) return false;
        ++config->allowedCount;
    }
    return config->allowedCount > 0;
}

bool ParseKeepalive(const char* text, Config* config) {
    long idle = 0;
    long interval = 0;
    long count = 0;
    char extra = 0;
    if (std::sscanf(text, "%ld,%ld,%ld%c", &idle, &interval, &count, &extra) != 3) return false;
    if (idle < 1 || idle > 3600 || interval < 1 || interval > 600 || count < 1 || count > 20) return false;
    config->keepIdleS = static_cast<int>(idle);
    config->keepIntervalS = static_cast<int>(interval);
    config->keepCount = static_cast<int>(count);
    return true;
}

bool ParseOption(char* option, Config* config, char* error, size_t capacity) {
    long value = 0;
    if (std::strncmp(option, "keepalive=", 10) == 0 && ParseKeepalive(option + 10, config)) return true;
    if (std::strncmp(option, "probe=", 6) == 0 && ParseNumber(option + 6, 100, 60000, &value)) {
        config->probeMs = static_cast<int>(value);
        return true;
    }
    if (std::strncmp(option, "timeout=", 8) == 0 && ParseNumber(option + 8, 100, 600000, &value)) {
        config->options.replyTimeoutMs = static_cast<int>(value);
        return true;
    }
    if (std::strncmp(option, "allow=", 6) == 0 && ParseAllowed(option + 6, config)) return true;
    if (std::strcmp(option, "cache=on") == 0 || std::strcmp(option, "cache=off") == 0) {
        config->options.cache = option[7] == 'n';
        return true;
    }
    std::snprintf(error, capacity, "bad option '%.60s' (timeout=MS, allow=IP[,IP...], cache=on|off, keepalive=IDLE,INTERVAL,COUNT, probe=MS)", option);
    return false;
}

bool ParseOptions(char* text, Config* config, char* error, size_t capacity) {
    char* save = nullptr;
    for (char* option = strtok_r(text, " \t", &save); option != nullptr; option = strtok_r(nullptr, " \t", &save)) {
        if (!ParseOption(option, config, error, capacity)) return false;
    }
    return true;
}

bool ParseFile(const char* path, Config* config, char* error, size_t capacity) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::snprintf(error, capacity, "cannot read options file %.200s", path);
        return false;
    }
    char line[kTextMax];
    bool ok = true;
    while (ok && std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "#\r\n")] = '\0';
        ok = ParseOptions(line, config, error, capacity);
    }
    std::fclose(file);
    return ok;
}

bool ParseTail(char separator, char* tail, Config* config, char* error, size_t capacity) {
    if (separator == ':') return ParseFile(tail, config, error, capacity);
    if (separator != '\0') return ParseOptions(tail, config, error, capacity);
    return true;
}

// PATH with "$XDG_RUNTIME_DIR" or "${XDG_RUNTIME_DIR}" at its start expanded;
// it must be absolute and fit sun_path, as a cut path would be another socket.
bool ExpandUnixPath(const char* path, Config* config, char* error, size_t capacity) {
    char runtime[kTextMax];  // larger than any path that fits: a long one is refused below, not cut
    const char* rest = path;
    runtime[0] = '\0';
    for (const char* variable : {"${XDG_RUNTIME_DIR}", "$XDG_RUNTIME_DIR"}) {
        size_t n = std::strlen(variable);
        if (std::strncmp(path, variable, n) == 0 && (path[n] == '/' || path[n] == '\0')) {
            RuntimeDirectory(runtime, sizeof runtime);
            rest = path + n;
            break;
        }
    }
    int n = std::snprintf(config->unixPath, sizeof config->unixPath, "%s%s", runtime, rest);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof config->unixPath || config->unixPath[0] != '/') {
        std::snprintf(error, capacity, "DEVICENAME unix:%.100s: the path must be absolute and under %zu bytes", path,
                      sizeof config->unixPath);
        config->unixPath[0] = '\0';
        return false;
    }
    return true;
}

bool ParseUnix(char* text, Config* config, char* error, size_t capacity) {
    char* rest = text + std::strcspn(text, ": \t");
    char separator = *rest;
    *rest = '\0';
    if (!ExpandUnixPath(text, config, error, capacity)) return false;
    if (!ParseTail(separator, rest + 1, config, error, capacity)) return false;
    if (config->allowedCount > 0) {
        std::snprintf(error, capacity, "allow= is for TCP; a Unix socket admits only its own user");
        return false;
    }
    return true;
}

} // namespace

void RuntimeDirectory(char* text, size_t size) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::snprintf(text, size, "%s", runtime);
    } else {
        std::snprintf(text, size, "/run/user/%u", static_cast<unsigned>(geteuid()));
    }
}

bool ParseConfig(const char* deviceName, Config* config, char* error, size_t capacity) {
    char text[kTextMax];
    size_t n = std::strlen(deviceName);
    if (n >= sizeof text) {
        std::snprintf(error, capacity, "DEVICENAME too long");
        return false;
    }
    // pcscd may hand a quoted value on with its quotes.
    if (n >= 2 && deviceName[0] == '"' && deviceName[n - 1] == '"') {
        std::memcpy(text, deviceName + 1, n - 2);
        text[n - 2] = '\0';
    } else {
        std::memcpy(text, deviceName, n + 1);
    }
    if (std::strncmp(text, "unix:", 5) == 0) return ParseUnix(text + 5, config, error, capacity);
    char* colon = std::strchr(text, ':');
    if (colon == nullptr) {
        std::snprintf(error, capacity, "DEVICENAME '%.100s' is not HOST:PORT", text);
        return false;
    }
    *colon = '\0';
    char* port = colon + 1;
    char* rest = port + std::strcspn(port, ": \t");
    char separator = *rest;
    *rest = '\0';
    long value = 0;
    if (!ParseAddress(text, &config->address) || !ParseNumber(port, 1, 65535, &value)) {
        std::snprintf(error, capacity, "DEVICENAME '%.100s:%.10s': HOST must be an IPv4 address, PORT 1 to 65535",
                      text, port);
        return false;
    }
    config->port = static_cast<uint16_t>(value);
    return ParseTail(separator, rest + 1, config, error, capacity);
}

bool PeerAllowed(const Config& config, uint32_t peer) {
    if (config.allowedCount == 0) return true;
    for (size_t i = 0; i < config.allowedCount; ++i) {
        if (config.allowed[i] == peer) return true;
    }
    return false;
}

} // namespace velmora::reader
