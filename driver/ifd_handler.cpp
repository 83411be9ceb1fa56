// The IFD handler pcscd loads: each reader.conf entry naming this library is
// one remote reader listening on its DEVICENAME's address. Every entry point
// finds its reader by Lun, calls one operation of the core and maps the
// result to an IFD_* code.
#include "config.h"
#include "endpoint.h"

extern "C" {
#include <ifdhandler.h>
}

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace velmora::reader {
namespace {

constexpr DWORD kAttrAtrString = 0x00090303;

std::mutex g_slotsMutex;
// Never destroyed: pcscd ends by exit() while its event threads may still
// wait inside WaitForEvent on a reader.
std::map<DWORD, Endpoint*>& g_slots = *new std::map<DWORD, Endpoint*>;

// pcscd calls a Lun's functions only between its channel's creation and
// closing; a closed reader's endpoint is stopped but kept, so the pointer
// stays valid outside the lock.
Session* Find(DWORD lun) {
    std::lock_guard<std::mutex> lock(g_slotsMutex);
    auto found = g_slots.find(lun);
    return found == g_slots.end() ? nullptr : &found->second->Reader();
}

RESPONSECODE Code(Result result) {
    switch (result) {
    case Result::Ok: return IFD_SUCCESS;
    case Result::NoCard: return IFD_ICC_NOT_PRESENT;
    case Result::Small: return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Result::TooLong:
    case Result::Failed: return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE WaitForEvent(DWORD lun, int timeoutMs) {
    Session* session = Find(lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    session->WaitForChange(timeoutMs);
    return IFD_SUCCESS;
}

RESPONSECODE StopWaiting(DWORD lun) {
    Session* session = Find(lun);
    if (session != nullptr) session->StopWaiting();
    return IFD_SUCCESS;
}

RESPONSECODE ByteValue(uint8_t byte, PDWORD length, PUCHAR value) {
    if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
    value[0] = byte;
    *length = 1;
    return IFD_SUCCESS;
}

template <typename Function>
RESPONSECODE FunctionValue(Function* function, PDWORD length, PUCHAR value) {
    if (*length < sizeof function) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(value, &function, sizeof function);
    *length = sizeof function;
    return IFD_SUCCESS;
}

RESPONSECODE Capability(Session* session, DWORD tag, PDWORD length, PUCHAR value) {
    uint8_t buffer[kLineBuffer];
    size_t got = 0;
    switch (tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS: return ByteValue(16, length, value);
    case TAG_IFD_THREAD_SAFE: return ByteValue(1, length, value);
    case TAG_IFD_SLOTS_NUMBER: return ByteValue(1, length, value);
    case TAG_IFD_SLOT_THREAD_SAFE: return ByteValue(0, length, value);
    case TAG_IFD_POLLING_THREAD_KILLABLE: return ByteValue(0, length, value);
    case TAG_IFD_STOP_POLLING_THREAD: return FunctionValue(&StopWaiting, length, value);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: return FunctionValue(&WaitForEvent, length, value);
    case TAG_IFD_ATR:
    case kAttrAtrString:
        if (!session->CachedAtr(buffer, &got)) return IFD_ERROR_TAG;
        break;
    default: {
        const char* name = NameOfAttribute(tag);
        if (name == nullptr || session->Attribute(name, buffer, sizeof buffer, &got) != Result::Ok) {
            return IFD_ERROR_TAG;
        }
    }
    }
    if (got > *length) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(value, buffer, got);
    *length = static_cast<DWORD>(got);
    return IFD_SUCCESS;
}

RESPONSECODE Open(DWORD lun, const char* deviceName) {
    Config config;
    char error[300];
    char line[400];
    if (!ParseConfig(deviceName, &config, error, sizeof error)) {
        std::snprintf(line, sizeof line, "velmora-reader: %s", error);
        WriteLog(kLogError, line);
        return IFD_COMMUNICATION_ERROR;
    }
    auto* endpoint = new Endpoint(config);
    if (!endpoint->Start()) {
        delete endpoint;
        return IFD_COMMUNICATION_ERROR;
    }
    std::lock_guard<std::mutex> lock(g_slotsMutex);
    g_slots[lun] = endpoint;
    return IFD_SUCCESS;
}

RESPONSECODE Close(DWORD lun) {
    Endpoint* endpoint = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_slotsMutex);
        auto found = g_slots.find(lun);
        if (found == g_slots.end()) return IFD_NO_SUCH_DEVICE;
        endpoint = found->second;
        g_slots.erase(found);
    }
    endpoint->Stop();  // kept: a waiter may still hold its session
    return IFD_SUCCESS;
}

} // namespace
} // namespace velmora::reader

using velmora::reader::Find;
using velmora::reader::Result;
using velmora::reader::Session;

#define VELMORA_EXPORT extern "C" __attribute__((visibility("default")))

VELMORA_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    return velmora::reader::Open(Lun, DeviceName);
}

// The reader needs its DEVICENAME: the address it listens on.
VELMORA_EXPORT RESPONSECODE IFDHCreateChannel(DWORD, DWORD) { return IFD_NO_SUCH_DEVICE; }

VELMORA_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) { return velmora::reader::Close(Lun); }

VELMORA_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    Session* session = Find(Lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    if (Length == nullptr || Value == nullptr) return IFD_ERROR_TAG;
    return velmora::reader::Capability(session, Tag, Length, Value);
}

VELMORA_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

// The client's card is already connected with its own protocol; the one
// pcscd chose is named in every TRANSMIT.
VELMORA_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    if (Find(Lun) == nullptr) return IFD_NO_SUCH_DEVICE;
    return Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

VELMORA_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    Session* session = Find(Lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    if (Atr == nullptr || AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
    // A reset or power-down that does not reach the card fails: a program
    // that resets to log out must not leave the card verified for the next.
    if (Action == IFD_POWER_DOWN) {
        *AtrLength = 0;
        return session->PowerDown() == Result::Ok ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
    }
    if (Action != IFD_POWER_UP && Action != IFD_RESET) return IFD_NOT_SUPPORTED;
    size_t length = 0;
    Result result = Action == IFD_RESET ? session->Reset(Atr, &length) : session->PowerUp(Atr, &length);
    *AtrLength = result == Result::Ok ? static_cast<DWORD>(length) : 0;
    return result == Result::Ok ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
}

VELMORA_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                              PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    Session* session = Find(Lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    if (RecvPci != nullptr) *RecvPci = SendPci;
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    size_t got = 0;
    Result result = session->Transmit(static_cast<int>(SendPci.Protocol), TxBuffer, TxBuffer == nullptr ? 0 : TxLength,
                                      RxBuffer, RxBuffer == nullptr ? 0 : *RxLength, &got);
    *RxLength = result == Result::Ok ? static_cast<DWORD>(got) : 0;
    return velmora::reader::Code(result);
}

VELMORA_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                        PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    Session* session = Find(Lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    if (pdwBytesReturned == nullptr) return IFD_COMMUNICATION_ERROR;
    size_t got = 0;
    Result result = session->Control(static_cast<uint32_t>(dwControlCode), TxBuffer, TxBuffer == nullptr ? 0 : TxLength,
                                     RxBuffer, RxBuffer == nullptr ? 0 : RxLength, &got);
    *pdwBytesReturned = result == Result::Ok ? static_cast<DWORD>(got) : 0;
    return velmora::reader::Code(result);
}

VELMORA_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    Session* session = Find(Lun);
    if (session == nullptr) return IFD_NO_SUCH_DEVICE;
    return session->Present() ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}
