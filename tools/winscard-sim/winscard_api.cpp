// The WinSCard functions the client uses, over the simulated readers. The
// client passes control codes in the Windows encoding; the reader model
// speaks pcsc-lite's, so codes are translated on the way in and the codes
// in a feature request answer on the way out.
#define WINSCARDDATA __declspec(dllexport)
#include "sim_readers.h"
#include "wire/control_code.h"

#include <winscard.h>

#include <chrono>
#include <cstring>

namespace winscardsim {
namespace {

constexpr size_t kMaxContexts = 32;
constexpr size_t kMaxCards = 32;
constexpr ULONG_PTR kContextTag = 0x5C000000;
constexpr ULONG_PTR kCardTag = 0x5D000000;
constexpr char kPnpReader[] = "\\\\?PnP?\\Notification";

struct Context {
    bool used;
    uint32_t cancels;  // SCardCancel calls; a wait ends when this moves
};

struct Card {
    bool used;
    SimReader* reader;
    DWORD protocol;    // 0 for a direct connection
    uint32_t changes;  // the reader's presence changes at connect
};

Context g_contexts[kMaxContexts];
Card g_cards[kMaxCards];

Context* FindContext(SCARDCONTEXT context) {
    ULONG_PTR index = context - kContextTag;
    if (context < kContextTag || index >= kMaxContexts || !g_contexts[index].used) return nullptr;
    return &g_contexts[index];
}

Card* FindCard(SCARDHANDLE card) {
    ULONG_PTR index = card - kCardTag;
    if (card < kCardTag || index >= kMaxCards || !g_cards[index].used) return nullptr;
    return &g_cards[index];
}

// A Windows smart-card control code (0x31 << 16 | n << 2) as pcsc-lite's.
DWORD ModelCode(DWORD code) { return velmora::PcscFromAny(code); }

DWORD WindowsCode(DWORD code) { return velmora::WireFromPcsc(code); }

// The feature request answer: 6-byte entries of tag, length 4 and the code
// big-endian.
void TranslateFeatures(BYTE* answer, DWORD length) {
    for (DWORD at = 0; at + 6 <= length; at += 6) {
        if (answer[at + 1] != 4) return;
        BYTE* code = answer + at + 2;
        DWORD value = (DWORD{code[0]} << 24) | (DWORD{code[1]} << 16) | (DWORD{code[2]} << 8) | code[3];
        value = WindowsCode(value);
        for (int i = 0; i < 4; ++i) code[i] = static_cast<BYTE>(value >> (24 - 8 * i));
    }
}

LONG FromModel(RESPONSECODE rc) {
    switch (rc) {
    case IFD_SUCCESS: return SCARD_S_SUCCESS;
    case IFD_ERROR_INSUFFICIENT_BUFFER: return SCARD_E_INSUFFICIENT_BUFFER;
    case IFD_ICC_NOT_PRESENT: return SCARD_W_REMOVED_CARD;
    case IFD_NOT_SUPPORTED: return SCARD_E_UNSUPPORTED_FEATURE;
    case IFD_ERROR_TAG: return SCARD_E_UNSUPPORTED_FEATURE;
    case IFD_PROTOCOL_NOT_SUPPORTED: return SCARD_E_PROTO_MISMATCH;
    case IFD_NO_SUCH_DEVICE: return SCARD_E_READER_UNAVAILABLE;
    default: return SCARD_E_NOT_TRANSACTED;
    }
}

DWORD StateWord(const SimReader& reader) {
    // An unplugged reader is neither empty nor holding a card.
    DWORD flags = !reader.available ? SCARD_STATE_UNAVAILABLE
                  : reader.present  ? SCARD_STATE_PRESENT
                                    : SCARD_STATE_EMPTY;
    return (static_cast<DWORD>(reader.changes & 0xFFFF) << 16) | flags;
}

// One pass over the records; true if any of them changed.
bool Survey(SCARD_READERSTATEA* states, DWORD count, LONG* status) {
    bool changed = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATEA& state = states[i];
        if (std::strcmp(state.szReader, kPnpReader) == 0) {
            state.dwEventState = state.dwCurrentState & ~SCARD_STATE_CHANGED;
            continue;
        }
        SimReader* reader = ReaderByName(state.szReader);
        if (reader == nullptr) {
            state.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED | SCARD_STATE_IGNORE;
            *status = SCARD_E_UNKNOWN_READER;
            return true;
        }
        DWORD actual = StateWord(*reader);
        state.cbAtr = 0;
        if (reader->present) {
            DWORD length = sizeof state.rgbAtr;
            if (reader->model->Attribute(TAG_IFD_ATR, &length, state.rgbAtr) == IFD_SUCCESS) state.cbAtr = length;
        }
        if ((state.dwCurrentState & ~SCARD_STATE_CHANGED) != actual) {
            state.dwEventState = actual | SCARD_STATE_CHANGED;
            changed = true;
        } else {
            state.dwEventState = actual;
        }
    }
    return changed;
}

LONG PowerUp(SimReader* reader, DWORD preferred, DWORD* protocol) {
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    if (!reader->powered || reader->poweredAt != reader->changes) {
        RESPONSECODE rc = reader->model->Power(IFD_POWER_UP, atr, &atrLength);
        if (rc != IFD_SUCCESS) return SCARD_E_NO_SMARTCARD;
        reader->powered = true;
        reader->poweredAt = reader->changes;
    }
    atrLength = sizeof atr;
    if (reader->model->Attribute(TAG_IFD_ATR, &atrLength, atr) != IFD_SUCCESS) return SCARD_E_NO_SMARTCARD;
    uint32_t offered = simreader::AtrProtocols(simreader::Bytes(atr, atr + atrLength)) & preferred;
    if (offered == 0) return SCARD_E_PROTO_MISMATCH;
    *protocol = (offered & SCARD_PROTOCOL_T0) != 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    return reader->model->SetProtocol(*protocol) == IFD_SUCCESS ? SCARD_S_SUCCESS : SCARD_E_PROTO_MISMATCH;
}

} // namespace
} // namespace winscardsim

using namespace winscardsim;

extern "C" {

WINSCARDDATA extern const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
WINSCARDDATA extern const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
WINSCARDDATA extern const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (!StartReaders()) return SCARD_E_NO_SERVICE;
    std::lock_guard<std::mutex> lock(Lock());
    for (size_t i = 0; i < kMaxContexts; ++i) {
        if (g_contexts[i].used) continue;
        g_contexts[i] = Context{true, 0};
        *context = kContextTag + i;
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_NO_MEMORY;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(Lock());
    Context* found = FindContext(context);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    found->used = false;
    ++found->cancels;
    WakeUp().notify_all();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(Lock());
    Context* found = FindContext(context);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    ++found->cancels;
    WakeUp().notify_all();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Lock());
    if (FindContext(context) == nullptr) return SCARD_E_INVALID_HANDLE;
    if (ReaderCount() == 0) return SCARD_E_NO_READERS_AVAILABLE;
    DWORD needed = 1;
    for (size_t i = 0; i < ReaderCount(); ++i) needed += static_cast<DWORD>(ReaderAt(i)->name.size() + 1);
    if (readers == nullptr) {
        *length = needed;
        return SCARD_S_SUCCESS;
    }
    if (*length < needed) {
        *length = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    char* at = readers;
    for (size_t i = 0; i < ReaderCount(); ++i) {
        const std::string& name = ReaderAt(i)->name;
        std::memcpy(at, name.c_str(), name.size() + 1);
        at += name.size() + 1;
    }
    *at = '\0';
    *length = needed;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states, DWORD count) {
    if (states == nullptr && count > 0) return SCARD_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(Lock());
    Context* found = FindContext(context);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    uint32_t cancels = found->cancels;
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        LONG status = SCARD_S_SUCCESS;
        if (Survey(states, count, &status)) return status;
        if (!found->used || found->cancels != cancels) return SCARD_E_CANCELLED;
        if (timeout == 0) return SCARD_E_TIMEOUT;
        if (timeout == INFINITE) {
            WakeUp().wait(lock);
        } else if (WakeUp().wait_until(lock, due) == std::cv_status::timeout) {
            if (!Survey(states, count, &status)) return SCARD_E_TIMEOUT;
            return status;
        }
    }
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR name, DWORD share, DWORD preferred, LPSCARDHANDLE card,
                          LPDWORD active) {
    if (card == nullptr || active == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Lock());
    if (FindContext(context) == nullptr) return SCARD_E_INVALID_HANDLE;
    SimReader* reader = ReaderByName(name);
    if (reader == nullptr) return SCARD_E_UNKNOWN_READER;
    if (!reader->available) return SCARD_E_READER_UNAVAILABLE;
    DWORD protocol = 0;
    if (share != SCARD_SHARE_DIRECT) {
        if (!reader->present) return SCARD_E_NO_SMARTCARD;
        LONG status = PowerUp(reader, preferred, &protocol);
        if (status != SCARD_S_SUCCESS) return status;
    }
    for (size_t i = 0; i < kMaxCards; ++i) {
        if (g_cards[i].used) continue;
        g_cards[i] = Card{true, reader, protocol, reader->changes};
        *card = kCardTag + i;
        *active = protocol;
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_NO_MEMORY;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    if (disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD) {
        BYTE atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        found->reader->model->Power(disposition == SCARD_RESET_CARD ? IFD_RESET : IFD_POWER_DOWN, atr, &length);
        found->reader->powered = disposition == SCARD_RESET_CARD && found->reader->present;
    }
    found->used = false;
    return SCARD_S_SUCCESS;
}

// Resets or power-cycles the card under a held handle, then powers it up
// again in one of the preferred protocols, as pcsc-lite does.
LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD share, DWORD preferred, DWORD initialization, LPDWORD active) {
    if (active == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    SimReader* reader = found->reader;
    if (found->changes != reader->changes) return SCARD_W_REMOVED_CARD;
    if (share == SCARD_SHARE_DIRECT) return SCARD_E_INVALID_PARAMETER;
    if (!reader->present) return SCARD_E_NO_SMARTCARD;
    if (initialization == SCARD_RESET_CARD || initialization == SCARD_UNPOWER_CARD) {
        BYTE atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        reader->model->Power(initialization == SCARD_RESET_CARD ? IFD_RESET : IFD_POWER_DOWN, atr, &length);
        reader->powered = false;
    }
    DWORD protocol = 0;
    LONG status = PowerUp(reader, preferred, &protocol);
    if (status != SCARD_S_SUCCESS) return status;
    found->protocol = protocol;
    *active = protocol;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE send, DWORD sendLength,
                          LPSCARD_IO_REQUEST receivePci, LPBYTE receive, LPDWORD receiveLength) {
    if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    if (found->changes != found->reader->changes) return SCARD_W_REMOVED_CARD;
    if (found->protocol == 0 || sendPci->dwProtocol != found->protocol) return SCARD_E_PROTO_MISMATCH;
    DWORD length = *receiveLength;
    RESPONSECODE rc = found->reader->model->Transmit(simreader::Bytes(send, send + sendLength), receive, &length);
    if (rc != IFD_SUCCESS) return FromModel(rc);
    *receiveLength = length;
    if (receivePci != nullptr) receivePci->dwProtocol = found->protocol;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outSize,
                         LPDWORD returned) {
    if (returned == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    const auto* bytes = static_cast<const BYTE*>(in);
    simreader::Bytes input(bytes, bytes + (bytes == nullptr ? 0 : inLength));
    DWORD model = ModelCode(code);
    BYTE* answer = static_cast<BYTE*>(out);
    RESPONSECODE rc = found->reader->model->Control(model, input, answer, answer == nullptr ? 0 : outSize, returned);
    if (rc != IFD_SUCCESS) return FromModel(rc);
    if (model == simreader::kCtlFeatureRequest) TranslateFeatures(answer, *returned);
    return SCARD_S_SUCCESS;
}

// Only what a client asks for its card's ATR: no reader name, the state
// word of a card that is there.
LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR, LPDWORD nameLength, LPDWORD state, LPDWORD protocol, LPBYTE atr,
                         LPDWORD atrLength) {
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    if (found->changes != found->reader->changes) return SCARD_W_REMOVED_CARD;
    BYTE value[MAX_ATR_SIZE];
    DWORD length = sizeof value;
    bool hasAtr = found->protocol != 0 && found->reader->present &&
                  found->reader->model->Attribute(TAG_IFD_ATR, &length, value) == IFD_SUCCESS;
    if (!hasAtr) length = 0;
    if (nameLength != nullptr) *nameLength = static_cast<DWORD>(found->reader->name.size() + 1);
    if (state != nullptr) *state = found->reader->present ? SCARD_SPECIFIC : SCARD_ABSENT;
    if (protocol != nullptr) *protocol = found->protocol;
    if (atrLength == nullptr) return SCARD_S_SUCCESS;
    if (atr != nullptr && length > *atrLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (atr != nullptr && length > 0) std::memcpy(atr, value, length);
    *atrLength = length;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length) {
    if (length == nullptr || *length == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Lock());
    Card* found = FindCard(card);
    if (found == nullptr) return SCARD_E_INVALID_HANDLE;
    BYTE probe[1024];
    DWORD size = value == nullptr ? sizeof probe : *length;
    RESPONSECODE rc = found->reader->model->Attribute(attribute, &size, value == nullptr ? probe : value);
    *length = size;
    return FromModel(rc);
}

} // extern "C"
