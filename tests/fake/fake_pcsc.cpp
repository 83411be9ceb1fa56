// The fake's state is guarded by one mutex so that monitor threads may wait
// in SCardGetStatusChange while the test changes cards.
#include "fake_pcsc.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace fakepcsc {
namespace {

constexpr int kMaxReaders = 4;
constexpr int kMaxHandles = 16;
constexpr int kMaxAttributes = 8;

struct Reader {
    char name[128];
    bool present;
    DWORD protocols;
    uint8_t atr[33];
    size_t atrLength;
    DWORD events;  // counts insertions and removals, as pcsc-lite's upper bits do
};

struct Handle {
    bool used;
    int reader;
    bool direct;
};

struct Attribute {
    DWORD id;
    uint8_t data[kMaxAnswer];
    size_t length;
};

struct State {
    Reader readers[kMaxReaders];
    int readerCount;
    Handle handles[kMaxHandles];
    uint8_t transmitAnswer[kMaxAnswer];
    size_t transmitLength;
    uint8_t controlAnswer[kMaxAnswer];
    size_t controlLength;
    uint8_t featureAnswer[kMaxAnswer];
    size_t featureLength;
    Attribute attributes[kMaxAttributes];
    int attributeCount;
    DWORD attribLimit;
    SCARDCONTEXT nextContext;
    SCARDCONTEXT firstLiveContext;
    uint64_t cancelGeneration;
    bool ignoreCancel;
    Failures failures;
    Calls calls;
};

State g_state;
std::mutex g_mutex;
std::condition_variable g_changed;

bool Dead(SCARDCONTEXT context) { return context < g_state.firstLiveContext; }

Handle* FindHandle(SCARDHANDLE handle) {
    if (handle == 0 || handle > kMaxHandles) return nullptr;
    Handle* h = &g_state.handles[handle - 1];
    return h->used ? h : nullptr;
}

int FindReader(const char* name) {
    for (int i = 0; i < g_state.readerCount; ++i) {
        if (std::strcmp(g_state.readers[i].name, name) == 0) return i;
    }
    return -1;
}

void CopyAnswer(uint8_t* to, size_t* toLength, const uint8_t* data, size_t length) {
    length = std::min(length, kMaxAnswer);
    if (length > 0) std::memcpy(to, data, length);
    *toLength = length;
}

DWORD ReaderStateWord(int reader) {
    if (reader < 0) return SCARD_STATE_UNKNOWN;
    const Reader& r = g_state.readers[reader];
    DWORD word = r.present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    return word | (r.events << 16);
}

} // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::memset(&g_state, 0, sizeof g_state);
    g_state.nextContext = 0x1000;
}

int AddReader(const char* name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Reader& r = g_state.readers[g_state.readerCount];
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    return g_state.readerCount++;
}

void InsertCard(int reader, DWORD protocols, const uint8_t* atr, size_t atrLength) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Reader& r = g_state.readers[reader];
        r.present = true;
        r.protocols = protocols;
        r.atrLength = std::min(atrLength, sizeof r.atr);
        if (r.atrLength > 0) std::memcpy(r.atr, atr, r.atrLength);
        ++r.events;
    }
    g_changed.notify_all();
}

int StatusWaits() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.calls.statusChanges;
}

void IgnoreCancel(bool ignore) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.ignoreCancel = ignore;
}

void RemoveCard(int reader) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Reader& r = g_state.readers[reader];
        r.present = false;
        ++r.events;
    }
    g_changed.notify_all();
}

void SetTransmitAnswer(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    CopyAnswer(g_state.transmitAnswer, &g_state.transmitLength, data, length);
}

void SetControlAnswer(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    CopyAnswer(g_state.controlAnswer, &g_state.controlLength, data, length);
}

void SetFeatureAnswer(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    CopyAnswer(g_state.featureAnswer, &g_state.featureLength, data, length);
}

void SetAttribute(DWORD id, const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Attribute& a = g_state.attributes[g_state.attributeCount++];
    a.id = id;
    CopyAnswer(a.data, &a.length, data, length);
}

void SetAttribRequestLimit(DWORD limit) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.attribLimit = limit;
}

void RestartService() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_state.firstLiveContext = g_state.nextContext;
        for (Handle& h : g_state.handles) h.used = false;
        g_state.calls.openHandles = 0;
        ++g_state.cancelGeneration;
    }
    g_changed.notify_all();
}

Failures& Fail() { return g_state.failures; }
const Calls& Seen() { return g_state.calls; }

} // namespace fakepcsc

using namespace fakepcsc;

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.establish;
    if (g_state.failures.establish != 0) return g_state.failures.establish;
    *context = g_state.nextContext++;
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.release;
    return SCARD_S_SUCCESS;
}

LONG SCardIsValidContext(SCARDCONTEXT context) {
    return context != 0 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Dead(context)) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.listReaders != 0) return g_state.failures.listReaders;
    if (g_state.readerCount == 0) return SCARD_E_NO_READERS_AVAILABLE;
    size_t need = 1;
    for (int i = 0; i < g_state.readerCount; ++i) need += std::strlen(g_state.readers[i].name) + 1;
    if (readers == nullptr) {
        *length = static_cast<DWORD>(need);
        return SCARD_S_SUCCESS;
    }
    if (*length < need) {
        *length = static_cast<DWORD>(need);
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    char* out = readers;
    for (int i = 0; i < g_state.readerCount; ++i) {
        size_t n = std::strlen(g_state.readers[i].name) + 1;
        std::memcpy(out, g_state.readers[i].name, n);
        out += n;
    }
    *out = '\0';
    *length = static_cast<DWORD>(need);
    return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR name, DWORD share, DWORD preferred,
                  LPSCARDHANDLE card, LPDWORD active) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Dead(context)) return SCARD_E_INVALID_HANDLE;
    bool direct = share == SCARD_SHARE_DIRECT;
    std::snprintf(g_state.calls.lastConnectReader, sizeof g_state.calls.lastConnectReader, "%s",
                  name);
    if (direct) {
        ++g_state.calls.directConnects;
        if (g_state.failures.directConnect != 0) return g_state.failures.directConnect;
    } else {
        ++g_state.calls.sharedConnects;
        if (g_state.failures.sharedConnect != 0) return g_state.failures.sharedConnect;
    }
    int reader = FindReader(name);
    if (reader < 0) return SCARD_E_UNKNOWN_READER;
    const Reader& r = g_state.readers[reader];
    DWORD protocol = 0;
    if (!direct) {
        if (!r.present) return SCARD_E_NO_SMARTCARD;
        DWORD common = r.protocols & preferred;
        if (common == 0) return SCARD_E_PROTO_MISMATCH;
        protocol = (common & SCARD_PROTOCOL_T1) != 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    for (int i = 0; i < kMaxHandles; ++i) {
        if (!g_state.handles[i].used) {
            g_state.handles[i] = Handle{true, reader, direct};
            *card = static_cast<SCARDHANDLE>(i + 1);
            *active = protocol;
            ++g_state.calls.openHandles;
            return SCARD_S_SUCCESS;
        }
    }
    return SCARD_E_NO_MEMORY;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.disconnects;
    Handle* h = FindHandle(card);
    if (h == nullptr) return SCARD_E_INVALID_HANDLE;
    h->used = false;
    --g_state.calls.openHandles;
    return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE card, DWORD, DWORD preferred, DWORD initialization, LPDWORD active) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.reconnects;
    g_state.calls.lastReconnectInit = initialization;
    Handle* h = FindHandle(card);
    if (h == nullptr) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.reconnect != 0) return g_state.failures.reconnect;
    const Reader& r = g_state.readers[h->reader];
    if (!r.present) return SCARD_W_REMOVED_CARD;
    DWORD common = r.protocols & preferred;
    if (common == 0) return SCARD_E_PROTO_MISMATCH;
    *active = (common & SCARD_PROTOCOL_T1) != 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* pci, LPCBYTE sent, DWORD sentLength,
                   SCARD_IO_REQUEST*, LPBYTE answer, LPDWORD answerLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Calls& calls = g_state.calls;
    ++calls.transmits;
    calls.lastPciProtocol = pci->dwProtocol;
    calls.lastSentLength = std::min<size_t>(sentLength, kMaxAnswer);
    if (calls.lastSentLength > 0) std::memcpy(calls.lastSent, sent, calls.lastSentLength);
    if (FindHandle(card) == nullptr) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.transmit != 0) return g_state.failures.transmit;
    if (g_state.transmitLength > *answerLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (g_state.transmitLength > 0) std::memcpy(answer, g_state.transmitAnswer, g_state.transmitLength);
    *answerLength = static_cast<DWORD>(g_state.transmitLength);
    return SCARD_S_SUCCESS;
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID sent, DWORD sentLength, LPVOID answer,
                  DWORD answerSize, LPDWORD returned) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (FindHandle(card) == nullptr) return SCARD_E_INVALID_HANDLE;
    Calls& calls = g_state.calls;
    if (code == velmora::kIoctlGetFeatureRequest) {
        ++calls.featureRequests;
        if (g_state.failures.featureRequest != 0) return g_state.failures.featureRequest;
        size_t copied = std::min<size_t>(g_state.featureLength, answerSize);
        if (copied > 0) std::memcpy(answer, g_state.featureAnswer, copied);
        *returned = static_cast<DWORD>(g_state.featureLength);
        return SCARD_S_SUCCESS;
    }
    ++calls.controls;
    calls.lastControlCode = code;
    calls.lastSentLength = std::min<size_t>(sentLength, kMaxAnswer);
    if (calls.lastSentLength > 0) std::memcpy(calls.lastSent, sent, calls.lastSentLength);
    if (g_state.failures.control != 0) return g_state.failures.control;
    if (g_state.controlLength > answerSize) return SCARD_E_INSUFFICIENT_BUFFER;
    if (g_state.controlLength > 0) std::memcpy(answer, g_state.controlAnswer, g_state.controlLength);
    *returned = static_cast<DWORD>(g_state.controlLength);
    return SCARD_S_SUCCESS;
}

LONG SCardGetAttrib(SCARDHANDLE card, DWORD id, LPBYTE value, LPDWORD length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.getAttribs;
    g_state.calls.lastAttribRequest = *length;
    if (FindHandle(card) == nullptr) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.getAttrib != 0) return g_state.failures.getAttrib;
    if (g_state.attribLimit != 0 && *length > g_state.attribLimit) return SCARD_E_INSUFFICIENT_BUFFER;
    for (int i = 0; i < g_state.attributeCount; ++i) {
        const Attribute& a = g_state.attributes[i];
        if (a.id != id) continue;
        if (a.length > *length) return SCARD_E_INSUFFICIENT_BUFFER;
        if (a.length > 0) std::memcpy(value, a.data, a.length);
        *length = static_cast<DWORD>(a.length);
        return SCARD_S_SUCCESS;
    }
    return static_cast<LONG>(0x80100022);  // unsupported feature, as Windows numbers it
}

LONG SCardStatus(SCARDHANDLE card, LPSTR, LPDWORD nameLength, LPDWORD state, LPDWORD protocol, LPBYTE atr,
                 LPDWORD atrLength) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.calls.statuses;
    const Handle* h = FindHandle(card);
    if (h == nullptr) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.status != 0) return g_state.failures.status;
    const Reader& r = g_state.readers[h->reader];
    if (!r.present && !h->direct) return SCARD_W_REMOVED_CARD;
    const size_t length = r.present ? r.atrLength : 0;
    if (nameLength != nullptr) *nameLength = static_cast<DWORD>(std::strlen(r.name) + 1);
    if (state != nullptr) *state = r.present ? SCARD_SPECIFIC : SCARD_ABSENT;
    if (protocol != nullptr) *protocol = 0;
    if (atrLength == nullptr) return SCARD_S_SUCCESS;
    if (atr != nullptr && length > *atrLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (atr != nullptr && length > 0) std::memcpy(atr, r.atr, length);
    *atrLength = static_cast<DWORD>(length);
    return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                          DWORD count) {
    std::unique_lock<std::mutex> lock(g_mutex);
    ++g_state.calls.statusChanges;
    if (Dead(context)) return SCARD_E_INVALID_HANDLE;
    if (g_state.failures.statusChange != 0) return g_state.failures.statusChange;
    uint64_t generation = g_state.cancelGeneration;
    auto changed = [&] {
        bool any = false;
        for (DWORD i = 0; i < count; ++i) {
            DWORD now = ReaderStateWord(FindReader(states[i].szReader));
            if (now != (states[i].dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED))) {
                states[i].dwEventState = now | SCARD_STATE_CHANGED;
                any = true;
            } else {
                states[i].dwEventState = now;
            }
        }
        return any;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    while (!changed()) {
        if (Dead(context)) return SCARD_E_NO_SERVICE;
        if (g_state.cancelGeneration != generation) return SCARD_E_CANCELLED;
        if (timeout == INFINITE) {
            g_changed.wait(lock);
        } else if (g_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return changed() ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
        }
    }
    return SCARD_S_SUCCESS;
}

LONG SCardCancel(SCARDCONTEXT) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_state.ignoreCancel) return SCARD_S_SUCCESS;
        ++g_state.cancelGeneration;
    }
    g_changed.notify_all();
    return SCARD_S_SUCCESS;
}

LONG SCardFreeMemory(SCARDCONTEXT, LPCVOID) { return SCARD_S_SUCCESS; }

} // extern "C"
