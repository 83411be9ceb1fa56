// The simulated PIN pad: key presses queued by a test, a PIN entry started
// by VERIFY_PIN_START and turned into a VERIFY APDU at VERIFY_PIN_FINISH.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <deque>
#include <string>

namespace simreader {

// What GET_KEY_PRESSED answers. A digit is reported as kKeyDigit, never as
// its value: the digits stay inside the reader.
constexpr uint8_t kKeyNone = 0x00;
constexpr uint8_t kKeyDigit = 0x2B;
constexpr uint8_t kKeyOk = 0x0D;
constexpr uint8_t kKeyCancel = 0x1B;
constexpr uint8_t kKeyBackspace = 0x08;
constexpr uint8_t kKeyTimeout = 0x40;

// Status words the reader itself answers at the end of an entry.
constexpr uint16_t kSwEntryTimeout = 0x6400;
constexpr uint16_t kSwEntryCancelled = 0x6401;

class PinPad {
public:
    bool enabled = false;

    // Queues keys from tokens: a run of digits, OK, CANCEL, BACK, TIMEOUT.
    // False, with nothing queued, on an unknown token.
    bool Feed(const std::string& tokens);
    size_t Queued() const { return keys_.size(); }
    void Clear();

    // VERIFY_PIN_START: a PIN verify structure with its APDU template.
    // False if the structure is malformed or asks for a format not
    // supported here (ASCII and binary digits are).
    bool Start(const Bytes& structure);

    // GET_KEY_PRESSED: applies and reports the next queued key during an
    // entry, kKeyNone otherwise.
    uint8_t NextKey();

    enum class Outcome { NoEntry, Apdu, Status };
    // VERIFY_PIN_FINISH: applies the keys still queued, then either the
    // VERIFY APDU to send to the card or a status word of the reader's own.
    Outcome Finish(Bytes* apdu, uint16_t* sw);

    // ABORT: a pending entry ends as cancelled.
    void Abort();

private:
    enum class Entry { Idle, Open, Confirmed, Cancelled, TimedOut };
    struct Key {
        uint8_t code;
        char digit;
    };
    void Apply(const Key& key);

    std::deque<Key> keys_;
    Entry entry_ = Entry::Idle;
    std::string digits_;
    Bytes template_;
    size_t offset_ = 0;   // where the first digit goes in the APDU
    size_t maxDigits_ = 0;
    bool ascii_ = true;
};

} // namespace simreader
