// ParseHex against strtoul read pair by pair, with the text in a heap block
// of exactly its size and the output in one of exactly kPayloadSize bytes.
#include "protocol/hex.h"
#include "support.h"

#include <cctype>

namespace {

using velmora::kPayloadSize;

// What the header promises, built on strtoul itself.
size_t ReferenceParse(const char* text, uint8_t* out) {
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) ++text;
    size_t count = 0;
    for (; count < kPayloadSize && text[0] != '\0' && text[1] != '\0'; text += 2) {
        const char pair[3] = {text[0], text[1], '\0'};
        char* end = nullptr;
        unsigned long value = std::strtoul(pair, &end, 16);
        if (end != pair + 2) break;
        out[count++] = static_cast<uint8_t>(value);
    }
    return count;
}

constexpr uint8_t kUntouched = 0xA5;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::ExactText text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<uint8_t[]> out(new uint8_t[kPayloadSize]);
    std::memset(out.get(), kUntouched, kPayloadSize);
    size_t count = velmora::ParseHex(text.get(), out.get());

    if (count > kPayloadSize) fuzz::Fail("ParseHex returned %zu", count);
    for (size_t i = count; i < kPayloadSize; ++i) {
        if (out[i] != kUntouched) fuzz::Fail("ParseHex wrote byte %zu but returned %zu", i, count);
    }
    uint8_t expected[kPayloadSize];
    size_t expectedCount = ReferenceParse(text.get(), expected);
    if (count != expectedCount) fuzz::Fail("ParseHex read %zu bytes, strtoul %zu", count, expectedCount);
    if (count > 0 && std::memcmp(out.get(), expected, count) != 0) {
        fuzz::Fail("ParseHex and strtoul disagree on the values");
    }

    // Written back and read again, the bytes come out the same.
    std::unique_ptr<char[]> hex(new char[2 * count + 1]);
    velmora::WriteHex(out.get(), count, hex.get());
    uint8_t again[kPayloadSize];
    if (velmora::ParseHex(hex.get(), again) != count ||
        (count > 0 && std::memcmp(again, out.get(), count) != 0)) {
        fuzz::Fail("WriteHex output does not read back");
    }
    return 0;
}
