#include "cache.h"

#include <cstring>

namespace velmora::reader {
namespace {

// The reader's own description, fixed while the client stays connected.
constexpr const char* kVendorNames[] = {"VENDOR_NAME", "VENDOR_IFD_TYPE", "VENDOR_IFD_VERSION",
                                        "VENDOR_IFD_SERIAL_NO"};

int VendorIndex(const char* name) {
    for (size_t i = 0; i < sizeof kVendorNames / sizeof kVendorNames[0]; ++i) {
        if (std::strcmp(name, kVendorNames[i]) == 0) return static_cast<int>(i);
    }
    return -1;
}

} // namespace

void Cache::ConnectionChanged() {
    atr_.length = 0;
    features_.length = 0;
    for (Value& value : vendor_) value.length = 0;
}

bool Cache::Get(const Value& value, uint8_t* out, size_t capacity, size_t* length) const {
    if (!enabled_ || value.length == 0 || value.length > capacity) return false;
    std::memcpy(out, value.bytes, value.length);
    *length = value.length;
    return true;
}

void Cache::Put(Value* value, const uint8_t* bytes, size_t length) const {
    if (!enabled_ || length == 0 || length > sizeof value->bytes) return;
    std::memcpy(value->bytes, bytes, length);
    value->length = length;
}

bool Cache::Attribute(const char* name, uint8_t* out, size_t capacity, size_t* length) const {
    int index = VendorIndex(name);
    return index >= 0 && Get(vendor_[index], out, capacity, length);
}

void Cache::KeepAttribute(const char* name, const uint8_t* value, size_t length) {
    int index = VendorIndex(name);
    if (index >= 0) Put(&vendor_[index], value, length);
}

} // namespace velmora::reader
