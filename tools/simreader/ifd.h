// pcsc-lite's IFD handler interface, with C linkage for the entry points.
// Windows has no pcscd: there the model sits behind winscard.dll and needs
// only the few names its own compat header gives.
#pragma once

extern "C" {
#if defined(_WIN32)
#include "sim_ifd_types.h"
#else
#include <ifdhandler.h>
#endif
}
