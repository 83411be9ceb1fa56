// pcsc-lite's IFD handler interface, with C linkage for the entry points.
#pragma once

extern "C" {
#include <ifdhandler.h>
}
