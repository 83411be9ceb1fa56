#include "pinpad/bridge.h"

namespace velmora {

bool PinPadControl(uint32_t, const uint8_t*, size_t, uint8_t*, size_t*, LONG*) {
    // No PIN-pad codes are served yet: every code goes to the reader.
    return false;
}

} // namespace velmora
