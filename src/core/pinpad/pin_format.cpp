#include "pinpad/pin_format.h"

namespace velmora {
namespace {

constexpr size_t kFormatStringAt = 2;
constexpr size_t kBlockStringAt = 3;
constexpr size_t kLengthFormatAt = 4;
constexpr size_t kApduLcAt = 4;
constexpr size_t kApduDataAt = 5;

constexpr uint8_t kUnitBytes = 0x80;       // bmFormatString: position in bytes
constexpr uint8_t kRightJustify = 0x04;    // bmFormatString
constexpr uint8_t kLengthUnitBytes = 0x10; // bmPINLengthFormat
constexpr uint8_t kFiller = 0xFF;          // data beyond a template without a block

size_t DigitBits(PinEncoding encoding) { return encoding == PinEncoding::Bcd ? 4 : 8; }

// Writes value's low width bits at bit offset at, most significant first.
void WriteBits(uint8_t* data, size_t at, unsigned value, size_t width) {
    for (size_t b = 0; b < width; ++b) {
        const size_t bit = at + b;
        const auto mask = static_cast<uint8_t>(0x80u >> (bit % 8));
        if ((value >> (width - 1 - b)) & 1u) {
            data[bit / 8] = static_cast<uint8_t>(data[bit / 8] | mask);
        } else {
            data[bit / 8] = static_cast<uint8_t>(data[bit / 8] & ~mask);
        }
    }
}

bool Overlap(size_t aFrom, size_t aTo, size_t bFrom, size_t bTo) { return aFrom < bTo && bFrom < aTo; }

// The bits a PIN of `digits` digits takes, [*from, *to).
void PinSpan(const PinFormat& f, size_t digits, size_t* from, size_t* to) {
    const size_t bits = digits * DigitBits(f.encoding);
    const size_t blockEnd = size_t{f.blockSize} * 8;
    *from = f.blockSize != 0 && f.rightJustified ? blockEnd - bits : f.pinAt;
    *to = *from + bits;
}

bool BlockFits(const PinFormat& f, const uint8_t* apdu, size_t apduLength, size_t maxDigits) {
    if (apduLength <= kApduLcAt) return false;
    const size_t lc = apdu[kApduLcAt];
    if (f.blockSize > lc || kApduDataAt + lc > apduLength) return false;
    const size_t blockEnd = size_t{f.blockSize} * 8;
    return f.pinAt + maxDigits * DigitBits(f.encoding) <= blockEnd;
}

bool LengthFieldFits(const PinFormat& f, size_t maxDigits, size_t areaEnd) {
    if (f.lengthBits == 0) return true;
    if (f.lengthBits < 16 && maxDigits >= (size_t{1} << f.lengthBits)) return false;
    size_t pinFrom = 0;
    size_t pinTo = 0;
    PinSpan(f, maxDigits, &pinFrom, &pinTo);
    const size_t lengthTo = size_t{f.lengthAt} + f.lengthBits;
    // Without a block the PIN has no end to keep clear of: the field goes before it.
    if (f.blockSize == 0) pinTo = areaEnd;
    return lengthTo <= areaEnd && !Overlap(f.lengthAt, lengthTo, f.blockSize == 0 ? f.pinAt : pinFrom, pinTo);
}

unsigned DigitValue(char c, PinEncoding encoding) {
    return encoding == PinEncoding::Ascii ? static_cast<unsigned char>(c) : static_cast<unsigned>(c - '0');
}

bool Encodable(const char* pin, size_t n, PinEncoding encoding) {
    if (encoding == PinEncoding::Ascii) return true;
    for (size_t i = 0; i < n; ++i) {
        if (pin[i] < '0' || pin[i] > '9') return false;
    }
    return true;
}

size_t AsTyped(const char* pin, size_t n, uint8_t* apdu, size_t capacity) {
    if (kApduDataAt + n > capacity) return 0;
    for (size_t i = 0; i < n; ++i) apdu[kApduDataAt + i] = static_cast<uint8_t>(pin[i]);
    apdu[kApduLcAt] = static_cast<uint8_t>(n);
    return kApduDataAt + n;
}

} // namespace

bool ReadPinFormat(const uint8_t* structure, const uint8_t* apdu, size_t apduLength, size_t maxDigits,
                   PinFormat* format) {
    const uint8_t formatString = structure[kFormatStringAt];
    const uint8_t blockString = structure[kBlockStringAt];
    const uint8_t lengthFormat = structure[kLengthFormatAt];
    PinFormat f;
    const unsigned type = formatString & 0x03u;
    if (type == 0x03) return false;
    f.encoding = static_cast<PinEncoding>(type);
    const unsigned position = (formatString >> 3) & 0x0Fu;
    f.pinAt = static_cast<uint16_t>((formatString & kUnitBytes) != 0 ? position * 8 : position);
    f.rightJustified = (formatString & kRightJustify) != 0;
    f.blockSize = blockString & 0x0F;
    f.lengthBits = static_cast<uint8_t>(blockString >> 4);
    const unsigned lengthPosition = lengthFormat & 0x0Fu;
    f.lengthAt = static_cast<uint16_t>((lengthFormat & kLengthUnitBytes) != 0 ? lengthPosition * 8 : lengthPosition);
    f.asTyped = f.blockSize == 0 && f.lengthBits == 0 && f.pinAt == 0 && f.encoding != PinEncoding::Bcd;
    if (f.asTyped) {
        *format = f;
        return true;
    }
    size_t areaEnd = size_t{f.blockSize} * 8;
    if (f.blockSize != 0) {
        if (!BlockFits(f, apdu, apduLength, maxDigits)) return false;
    } else {
        // The bytes before the PIN come from the template.
        const size_t data = apduLength > kApduDataAt ? apduLength - kApduDataAt : 0;
        if ((size_t{f.pinAt} + 7) / 8 > data) return false;
        areaEnd = f.pinAt;
    }
    if (!LengthFieldFits(f, maxDigits, areaEnd)) return false;
    f.maxDigits = static_cast<uint8_t>(maxDigits > 0xFF ? 0xFF : maxDigits);
    *format = f;
    return true;
}

size_t FormatPinApdu(const PinFormat& f, const char* pin, size_t n, uint8_t* apdu, size_t templateLength,
                     size_t capacity) {
    if (f.asTyped) return AsTyped(pin, n, apdu, capacity);
    if (n > f.maxDigits || !Encodable(pin, n, f.encoding)) return 0;
    const size_t bits = DigitBits(f.encoding);
    if (f.blockSize != 0 && f.pinAt + n * bits > size_t{f.blockSize} * 8) return 0;
    size_t from = 0;
    size_t to = 0;
    PinSpan(f, n, &from, &to);
    size_t length = 0;
    if (f.blockSize != 0) {
        if (templateLength <= kApduLcAt) return 0;
        length = kApduDataAt + apdu[kApduLcAt];
        if (length > templateLength || length > capacity) return 0;
    } else {
        length = kApduDataAt + (to + 7) / 8;
        if (length > capacity || length - kApduDataAt > 0xFF) return 0;
        for (size_t i = templateLength; i < length; ++i) apdu[i] = kFiller;
        apdu[kApduLcAt] = static_cast<uint8_t>(length - kApduDataAt);
    }
    uint8_t* data = apdu + kApduDataAt;
    for (size_t i = 0; i < n; ++i) WriteBits(data, from + i * bits, DigitValue(pin[i], f.encoding), bits);
    if (f.lengthBits != 0) WriteBits(data, f.lengthAt, static_cast<unsigned>(n), f.lengthBits);
    return length;
}

} // namespace velmora
