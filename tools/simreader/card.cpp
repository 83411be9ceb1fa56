#include "card.h"

#include <bit>

namespace simreader {
namespace {

constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwWrongLength = 0x6700;
constexpr uint16_t kSwBlocked = 0x6983;
constexpr uint16_t kSwWrongP1P2 = 0x6A86;
constexpr uint16_t kSwWrongData = 0x6A80;
constexpr uint16_t kSwInsUnknown = 0x6D00;
constexpr uint16_t kSwClaUnknown = 0x6E00;
constexpr uint16_t kSwTriesLeft = 0x63C0;

constexpr uint8_t kInsVerify = 0x20;
constexpr uint8_t kInsPso = 0x2A;
constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint16_t kPsoDecipher = 0x8086;

constexpr uint8_t kPinPadding = 0xFF;

struct Apdu {
    uint8_t cla = 0;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    Bytes data;
    bool hasData = false;
    size_t le = 0;  // 0: no response data expected
};

size_t ShortLe(uint8_t b) { return b == 0 ? 256 : b; }
size_t ExtendedLe(uint8_t high, uint8_t low) {
    size_t le = size_t{high} << 8 | low;
    return le == 0 ? 65536 : le;
}

// Short and extended cases 1 to 4; false for any other layout.
bool ParseBody(const Bytes& in, Apdu* apdu) {
    const size_t n = in.size();
    if (n == 4) return true;
    if (n == 5) {
        apdu->le = ShortLe(in[4]);
        return true;
    }
    if (in[4] != 0) {
        size_t lc = in[4];
        if (n != 5 + lc && n != 6 + lc) return false;
        apdu->data.assign(in.begin() + 5, in.begin() + 5 + static_cast<long>(lc));
        apdu->hasData = true;
        if (n == 6 + lc) apdu->le = ShortLe(in[n - 1]);
        return true;
    }
    if (n == 7) {
        apdu->le = ExtendedLe(in[5], in[6]);
        return true;
    }
    size_t lc = size_t{in[5]} << 8 | in[6];
    if (lc == 0 || (n != 7 + lc && n != 9 + lc)) return false;
    apdu->data.assign(in.begin() + 7, in.begin() + 7 + static_cast<long>(lc));
    apdu->hasData = true;
    if (n == 9 + lc) apdu->le = ExtendedLe(in[n - 2], in[n - 1]);
    return true;
}

bool ParseApdu(const Bytes& in, Apdu* apdu) {
    if (in.size() < 4) return false;
    apdu->cla = in[0];
    apdu->ins = in[1];
    apdu->p1 = in[2];
    apdu->p2 = in[3];
    return ParseBody(in, apdu);
}

Bytes StatusOnly(uint16_t sw) {
    Bytes out;
    AppendSw(&out, sw);
    return out;
}

// The entered PIN as text: padding dropped, binary digits read as ASCII.
std::string PinText(const Bytes& data) {
    size_t end = data.size();
    while (end > 0 && data[end - 1] == kPinPadding) --end;
    std::string text;
    for (size_t i = 0; i < end; ++i) {
        uint8_t b = data[i];
        text.push_back(static_cast<char>(b <= 9 ? '0' + b : b));
    }
    return text;
}

constexpr size_t kBlockSize = 8;

bool AsciiBlock(const Bytes& data, std::string* pin) {
    if (data.size() != kBlockSize) return false;
    size_t n = 0;
    while (n < data.size() && data[n] >= '0' && data[n] <= '9') pin->push_back(static_cast<char>(data[n++]));
    for (size_t i = n; i < data.size(); ++i) {
        if (data[i] != kPinPadding) return false;
    }
    return n > 0;
}

uint8_t Nibble(const Bytes& data, size_t index) {
    return static_cast<uint8_t>(index % 2 == 0 ? data[index / 2] >> 4 : data[index / 2] & 0x0F);
}

bool Iso2Block(const Bytes& data, std::string* pin) {
    if (data.size() != kBlockSize || Nibble(data, 0) != 0x2) return false;
    const size_t n = Nibble(data, 1);
    if (n < 4 || n > 12) return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t digit = Nibble(data, 2 + i);
        if (digit > 9) return false;
        pin->push_back(static_cast<char>('0' + digit));
    }
    for (size_t i = 2 + n; i < 2 * kBlockSize; ++i) {
        if (Nibble(data, i) != 0x0F) return false;
    }
    return true;
}

// The PIN the VERIFY carries in the card's layout; false if it is not in it.
bool PinInBlock(PinBlock block, const Bytes& data, std::string* pin) {
    switch (block) {
    case PinBlock::Ascii8: return AsciiBlock(data, pin);
    case PinBlock::Iso2: return Iso2Block(data, pin);
    case PinBlock::Any: break;
    }
    *pin = PinText(data);
    return true;
}

Bytes Counting(size_t length) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i);
    return out;
}

Bytes ReadLength(const Apdu& apdu) {
    size_t length = size_t{apdu.p1} << 8 | apdu.p2;
    if (length > kReadLengthMax) return StatusOnly(kSwWrongP1P2);
    Bytes out = Counting(length);
    AppendSw(&out, kSwOk);
    return out;
}

Bytes Decipher(const Apdu& apdu) {
    if ((uint16_t{apdu.p1} << 8 | apdu.p2) != kPsoDecipher) return StatusOnly(kSwWrongP1P2);
    if (!apdu.hasData) return StatusOnly(kSwWrongLength);
    Bytes out(kDecipherLength);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(apdu.data[i % apdu.data.size()] ^ 0x5A);
    }
    AppendSw(&out, kSwOk);
    return out;
}

uint32_t ProtocolBit(uint8_t td) {
    switch (td & 0x0F) {
    case 0: return kProtocolT0;
    case 1: return kProtocolT1;
    default: return 0;
    }
}

} // namespace

bool PinBlockByName(const std::string& name, PinBlock* block) {
    if (name == "ANY") *block = PinBlock::Any;
    else if (name == "ASCII8") *block = PinBlock::Ascii8;
    else if (name == "ISO2") *block = PinBlock::Iso2;
    else return false;
    return true;
}

uint32_t AtrProtocols(const Bytes& atr) {
    uint32_t protocols = 0;
    size_t at = 1;  // T0, then each TDi
    while (at < atr.size()) {
        auto y = static_cast<unsigned>(atr[at] >> 4);
        if (at > 1) protocols |= ProtocolBit(atr[at]);
        at += static_cast<size_t>(std::popcount(y & 0x7u));  // TAi, TBi, TCi
        if ((y & 0x8u) == 0) break;
        ++at;
    }
    return protocols == 0 ? kProtocolT0 : protocols;
}

Bytes DefaultAtr(uint32_t protocols) {
    static const uint8_t kHistory[] = {'V', 'L', 'M', 'S', 'I', 'M'};
    const uint8_t k = sizeof kHistory;
    Bytes atr{0x3B};
    if (protocols == kProtocolT0) {
        atr.push_back(k);
    } else {
        atr.push_back(static_cast<uint8_t>(0x80 | k));  // TD1 follows
        if (protocols & kProtocolT0) atr.push_back(0x80);  // TD1: T=0, TD2 follows
        atr.push_back(0x01);                              // T=1
    }
    for (uint8_t b : kHistory) atr.push_back(b);
    if (protocols != kProtocolT0) {
        uint8_t tck = 0;
        for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
        atr.push_back(tck);
    }
    return atr;
}

Card::Card() : random_(std::random_device{}()) {
    atr = DefaultAtr(kProtocolT1);
    SetPin("1234");
}

void Card::SetPin(const std::string& pin, int tries) {
    pin_ = pin;
    triesMax_ = tries;
    triesLeft_ = tries;
    verified_ = false;
}

Bytes Card::Verify(const Bytes& data, bool hasData) {
    if (triesLeft_ == 0) return StatusOnly(kSwBlocked);
    if (!hasData) return StatusOnly(verified_ ? kSwOk : static_cast<uint16_t>(kSwTriesLeft | triesLeft_));
    std::string entered;
    if (!PinInBlock(pinBlock, data, &entered)) return StatusOnly(kSwWrongData);
    if (entered == pin_) {
        triesLeft_ = triesMax_;
        verified_ = true;
        return StatusOnly(kSwOk);
    }
    verified_ = false;
    --triesLeft_;
    return StatusOnly(triesLeft_ == 0 ? kSwBlocked : static_cast<uint16_t>(kSwTriesLeft | triesLeft_));
}

Bytes Card::Challenge(size_t length) {
    if (length == 0) return StatusOnly(kSwWrongLength);
    Bytes out(length);
    for (uint8_t& b : out) b = static_cast<uint8_t>(random_());
    AppendSw(&out, kSwOk);
    return out;
}

Bytes Card::Process(const Bytes& command) {
    Apdu apdu;
    if (!ParseApdu(command, &apdu)) return StatusOnly(kSwWrongLength);
    if (apdu.cla == kClaProprietary) {
        return apdu.ins == kInsReadLength ? ReadLength(apdu) : StatusOnly(kSwInsUnknown);
    }
    if ((apdu.cla & 0xF0) != 0x00) return StatusOnly(kSwClaUnknown);
    switch (apdu.ins) {
    case kInsVerify: return Verify(apdu.data, apdu.hasData);
    case kInsGetChallenge: return Challenge(apdu.le);
    case kInsSelect: return StatusOnly(apdu.hasData ? kSwOk : kSwWrongLength);
    case kInsPso: return Decipher(apdu);
    default: return StatusOnly(kSwInsUnknown);
    }
}

} // namespace simreader
