// The IFD handler pcscd loads: each reader.conf entry naming this library
// becomes one simulated reader, found again by its Lun.
#include "control_server.h"
#include "ifd.h"
#include "reader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace simreader {
namespace {

struct Slot {
    std::unique_ptr<Reader> reader;
    std::unique_ptr<ControlServer> control;
};

std::mutex g_slotsMutex;
// Never destroyed: pcscd ends on a signal by exit() while its event threads
// still wait inside WaitForEvent, and destroying a waited-on reader hangs.
std::map<DWORD, Slot>& g_slots = *new std::map<DWORD, Slot>;

// pcscd calls a Lun's functions only between its channel's creation and
// closing, so the pointer stays valid outside the lock.
Reader* Find(DWORD lun) {
    std::lock_guard<std::mutex> lock(g_slotsMutex);
    auto found = g_slots.find(lun);
    return found == g_slots.end() ? nullptr : found->second.reader.get();
}

RESPONSECODE WaitForEvent(DWORD lun, int timeoutMs) {
    Reader* reader = Find(lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    reader->WaitForEvent(timeoutMs);
    return IFD_SUCCESS;
}

RESPONSECODE StopWaiting(DWORD lun) {
    Reader* reader = Find(lun);
    if (reader != nullptr) reader->StopWaiting();
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

constexpr uint8_t kReadersPerDriver = 16;

// The driver's own capabilities; IFD_ERROR_TAG for a reader attribute.
RESPONSECODE DriverCapability(Reader* reader, DWORD tag, PDWORD length, PUCHAR value) {
    switch (tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS: return ByteValue(kReadersPerDriver, length, value);
    case TAG_IFD_THREAD_SAFE: return ByteValue(1, length, value);
    case TAG_IFD_SLOTS_NUMBER: return ByteValue(1, length, value);
    case TAG_IFD_SLOT_THREAD_SAFE: return ByteValue(0, length, value);
    // Not killable: pcscd stops the wait through StopWaiting instead.
    case TAG_IFD_POLLING_THREAD_KILLABLE: return ByteValue(0, length, value);
    case TAG_IFD_STOP_POLLING_THREAD: return FunctionValue(&StopWaiting, length, value);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
        if (!reader->EventWait()) return IFD_ERROR_TAG;
        return FunctionValue(&WaitForEvent, length, value);
    default: return reader->Attribute(tag, length, value);
    }
}

RESPONSECODE Open(DWORD lun, const char* deviceName) {
    auto reader = std::make_unique<Reader>(deviceName);
    std::string error;
    if (!reader->Configure(&error)) {
        std::fprintf(stderr, "simreader %s: %s\n", deviceName, error.c_str());
        return IFD_COMMUNICATION_ERROR;
    }
    auto control = std::make_unique<ControlServer>();
    if (!control->Start(reader->SocketPath(), reader.get())) {
        std::fprintf(stderr, "simreader %s: control socket: %s\n", deviceName, std::strerror(errno));
        return IFD_COMMUNICATION_ERROR;
    }
    std::lock_guard<std::mutex> lock(g_slotsMutex);
    g_slots[lun] = Slot{std::move(reader), std::move(control)};
    return IFD_SUCCESS;
}

} // namespace
} // namespace simreader

using simreader::Find;
using simreader::Reader;

#define SIMREADER_EXPORT extern "C" __attribute__((visibility("default")))

SIMREADER_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    return simreader::Open(Lun, DeviceName);
}

// Only reader.conf entries with a DEVICENAME are simulated readers.
SIMREADER_EXPORT RESPONSECODE IFDHCreateChannel(DWORD, DWORD) { return IFD_NO_SUCH_DEVICE; }

SIMREADER_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    simreader::Slot slot;
    {
        std::lock_guard<std::mutex> lock(simreader::g_slotsMutex);
        auto found = simreader::g_slots.find(Lun);
        if (found == simreader::g_slots.end()) return IFD_NO_SUCH_DEVICE;
        slot = std::move(found->second);
        simreader::g_slots.erase(found);
    }
    slot.control.reset();  // before the reader it talks to
    return IFD_SUCCESS;
}

SIMREADER_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    Reader* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    return simreader::DriverCapability(reader, Tag, Length, Value);
}

SIMREADER_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

SIMREADER_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    Reader* reader = Find(Lun);
    return reader == nullptr ? IFD_NO_SUCH_DEVICE : reader->SetProtocol(Protocol);
}

SIMREADER_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    Reader* reader = Find(Lun);
    return reader == nullptr ? IFD_NO_SUCH_DEVICE : reader->Power(Action, Atr, AtrLength);
}

SIMREADER_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer,
                                                DWORD TxLength, PUCHAR RxBuffer, PDWORD RxLength,
                                                PSCARD_IO_HEADER RecvPci) {
    Reader* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    if (RecvPci != nullptr) *RecvPci = SendPci;
    return reader->Transmit(simreader::Bytes(TxBuffer, TxBuffer + TxLength), RxBuffer, RxLength);
}

SIMREADER_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                          PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    Reader* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    simreader::Bytes in(TxBuffer, TxBuffer + (TxBuffer == nullptr ? 0 : TxLength));
    return reader->Control(dwControlCode, in, RxBuffer, RxLength, pdwBytesReturned);
}

SIMREADER_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    Reader* reader = Find(Lun);
    return reader == nullptr ? IFD_NO_SUCH_DEVICE : reader->Presence();
}
