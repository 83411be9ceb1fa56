// What the driver keeps of the client's reader so that a server program's
// connect, status and attribute reads cost no network round trip: the card's
// ATR from its power-up until the next card event (or a real reset), and the
// feature answer and the reader's vendor attributes for the life of the
// client's connection. Only answers that succeeded are kept. Not locked: the
// session calls it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::reader {

class Cache {
public:
    static constexpr size_t kMaxValue = 256;  // longer answers are not kept

    void Enable(bool on) { enabled_ = on; }

    // A card came or went, or was really reset: its ATR may differ.
    void CardChanged() { atr_.length = 0; }
    // A new or lost client connection: another reader may be behind it.
    void ConnectionChanged();

    bool Atr(uint8_t* out, size_t capacity, size_t* length) const { return Get(atr_, out, capacity, length); }
    void KeepAtr(const uint8_t* atr, size_t length) { Put(&atr_, atr, length); }

    bool Features(uint8_t* out, size_t capacity, size_t* length) const { return Get(features_, out, capacity, length); }
    void KeepFeatures(const uint8_t* answer, size_t length) { Put(&features_, answer, length); }

    // Only the vendor attributes; any other name is neither found nor kept.
    bool Attribute(const char* name, uint8_t* out, size_t capacity, size_t* length) const;
    void KeepAttribute(const char* name, const uint8_t* value, size_t length);

private:
    struct Value {
        uint8_t bytes[kMaxValue];
        size_t length;  // 0: nothing kept
    };
    bool Get(const Value& value, uint8_t* out, size_t capacity, size_t* length) const;
    void Put(Value* value, const uint8_t* bytes, size_t length) const;

    static constexpr size_t kVendorNames = 4;
    bool enabled_ = true;
    Value atr_{};
    Value features_{};
    Value vendor_[kVendorNames]{};
};

} // namespace velmora::reader
