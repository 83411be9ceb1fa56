// The PIN-pad bridge's process-wide state, shared by the bridge and the PIN
// entry dialog's rules. User-interface thread only.
#pragma once

#include "pinpad/pin_format.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

class PinDialogView;

constexpr size_t kVerifyApduSize = 100;
constexpr size_t kPinTextSize = 20;  // 19 digits and the terminator
constexpr int32_t kNoEntry = -1;

struct PinPadState {
    // -1: no emulated entry pending; n >= 0: n digits reported so far.
    int32_t keyCounter = kNoEntry;
    uint8_t minLength = 0;
    uint8_t maxLength = 0;
    uint8_t verifyApdu[kVerifyApduSize] = {};
    size_t templateLength = 0;  // template bytes the last start copied
    PinFormat format;           // how the emulated finish lays out the PIN
    char pin[kPinTextSize] = {};
    bool confirmed = false;  // pin holds what the user confirmed with OK in this entry
    PinDialogView* dialog = nullptr;  // the open PIN entry dialog
};

extern PinPadState g_pinpad;

// Zeroes memory holding a PIN in a way the optimiser may not drop.
inline void WipeSecret(void* memory, size_t size) {
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(memory);
    for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

// Back to the state of program start, the PIN wiped; forgets an open dialog
// without touching it.
void ResetPinPad();

} // namespace velmora
