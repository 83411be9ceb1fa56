#include "pinpad.h"

#include <cctype>
#include <sstream>

namespace simreader {
namespace {

// Layout of the PIN verify structure (packed, little-endian words).
constexpr size_t kFormatAt = 2;
constexpr size_t kMaxDigitAt = 5;
constexpr size_t kDataLengthAt = 15;
constexpr size_t kHeaderSize = 19;
constexpr size_t kApduHeader = 5;

constexpr uint8_t kFormatBytes = 0x80;
constexpr uint8_t kFormatMask = 0x03;
constexpr uint8_t kFormatBinary = 0x00;
constexpr uint8_t kFormatAscii = 0x02;
constexpr size_t kDigitsDefaultMax = 12;

uint32_t LittleEndian32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

bool NamedKey(const std::string& token, uint8_t* code) {
    std::string upper;
    for (char c : token) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (upper == "OK") *code = kKeyOk;
    else if (upper == "CANCEL") *code = kKeyCancel;
    else if (upper == "BACK") *code = kKeyBackspace;
    else if (upper == "TIMEOUT") *code = kKeyTimeout;
    else return false;
    return true;
}

bool AllDigits(const std::string& token) {
    for (char c : token) {
        if (c < '0' || c > '9') return false;
    }
    return !token.empty();
}

} // namespace

bool PinPad::Feed(const std::string& tokens) {
    std::deque<Key> parsed;
    std::istringstream in(tokens);
    std::string token;
    while (in >> token) {
        uint8_t code = 0;
        if (AllDigits(token)) {
            for (char c : token) parsed.push_back({kKeyDigit, c});
        } else if (NamedKey(token, &code)) {
            parsed.push_back({code, 0});
        } else {
            return false;
        }
    }
    keys_.insert(keys_.end(), parsed.begin(), parsed.end());
    return true;
}

void PinPad::Clear() {
    keys_.clear();
    entry_ = Entry::Idle;
    digits_.clear();
}

bool PinPad::Start(const Bytes& s) {
    if (s.size() < kHeaderSize || LittleEndian32(s, kDataLengthAt) != s.size() - kHeaderSize) return false;
    const uint8_t format = s[kFormatAt];
    const uint8_t kind = format & kFormatMask;
    if (kind != kFormatAscii && kind != kFormatBinary) return false;
    size_t position = (format >> 3) & 0x0F;
    if ((format & kFormatBytes) == 0) position /= 8;
    Bytes apdu(s.begin() + kHeaderSize, s.end());
    if (apdu.size() < kApduHeader) return false;
    maxDigits_ = s[kMaxDigitAt] != 0 ? s[kMaxDigitAt] : kDigitsDefaultMax;
    template_ = std::move(apdu);
    offset_ = kApduHeader + position;
    ascii_ = kind == kFormatAscii;
    digits_.clear();
    entry_ = Entry::Open;
    return true;
}

void PinPad::Apply(const Key& key) {
    switch (key.code) {
    case kKeyDigit:
        if (digits_.size() < maxDigits_) digits_.push_back(key.digit);
        break;
    case kKeyBackspace:
        if (!digits_.empty()) digits_.pop_back();
        break;
    case kKeyOk: entry_ = Entry::Confirmed; break;
    case kKeyCancel: entry_ = Entry::Cancelled; break;
    case kKeyTimeout: entry_ = Entry::TimedOut; break;
    default: break;
    }
}

uint8_t PinPad::NextKey() {
    if (entry_ != Entry::Open || keys_.empty()) return kKeyNone;
    Key key = keys_.front();
    keys_.pop_front();
    Apply(key);
    return key.code;
}

PinPad::Outcome PinPad::Finish(Bytes* apdu, uint16_t* sw) {
    if (entry_ == Entry::Idle) return Outcome::NoEntry;
    while (entry_ == Entry::Open && !keys_.empty()) NextKey();
    Entry ended = entry_ == Entry::Open ? Entry::TimedOut : entry_;
    entry_ = Entry::Idle;
    if (ended == Entry::Cancelled) *sw = kSwEntryCancelled;
    if (ended == Entry::TimedOut) *sw = kSwEntryTimeout;
    if (ended != Entry::Confirmed) return Outcome::Status;
    *apdu = template_;
    for (size_t i = 0; i < digits_.size() && offset_ + i < apdu->size(); ++i) {
        auto value = static_cast<uint8_t>(digits_[i] - '0');
        (*apdu)[offset_ + i] = ascii_ ? static_cast<uint8_t>(digits_[i]) : value;
    }
    digits_.clear();
    return Outcome::Apdu;
}

void PinPad::Abort() {
    if (entry_ != Entry::Idle) entry_ = Entry::Cancelled;
}

} // namespace simreader
