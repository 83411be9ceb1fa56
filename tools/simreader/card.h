// The simulated card: its ATR and an APDU responder with a PIN.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <random>
#include <string>

namespace simreader {

// Protocol bits as PC/SC counts them.
constexpr uint32_t kProtocolT0 = 1;
constexpr uint32_t kProtocolT1 = 2;

// The protocols an ATR offers: those its TDi bytes name, T=0 if none is named.
uint32_t AtrProtocols(const Bytes& atr);

// A well-formed ATR offering exactly the given protocols.
Bytes DefaultAtr(uint32_t protocols);

// The proprietary command that answers N bytes: 80 EE HH LL, N = 0xHHLL.
constexpr uint8_t kClaProprietary = 0x80;
constexpr uint8_t kInsReadLength = 0xEE;
constexpr size_t kReadLengthMax = 1000;
constexpr size_t kDecipherLength = 128;
constexpr int kPinTriesDefault = 3;

// The PIN layout the card's VERIFY requires. Any: the digits, ASCII or
// binary, FF padding dropped. Ascii8: exactly 8 bytes, ASCII digits then FF.
// Iso2: ISO 9564 format 2, 8 bytes, 2N, BCD digits, F filler. A VERIFY not in
// the required layout is refused (6A80) without costing a try.
enum class PinBlock { Any, Ascii8, Iso2 };

bool PinBlockByName(const std::string& name, PinBlock* block);

class Card {
public:
    Card();

    Bytes atr;
    PinBlock pinBlock = PinBlock::Any;

    // Sets the PIN and the tries left; clears the verified state.
    void SetPin(const std::string& pin, int tries = kPinTriesDefault);
    int TriesLeft() const { return triesLeft_; }
    bool Verified() const { return verified_; }

    // A warm or cold reset: the security state goes, the try counter stays.
    void Reset() { verified_ = false; }

    // One command APDU in, the response with its status word out.
    Bytes Process(const Bytes& apdu);

private:
    Bytes Verify(const Bytes& data, bool hasData);
    Bytes Challenge(size_t length);

    std::string pin_;
    int triesMax_ = kPinTriesDefault;
    int triesLeft_ = kPinTriesDefault;
    bool verified_ = false;
    std::minstd_rand random_;
};

} // namespace simreader
