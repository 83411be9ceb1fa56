// The few IFD handler names the simulated reader model uses, for Windows,
// where there is no pcscd and the model sits behind winscard.dll instead.
// Only their meaning matters here: the dll maps them to SCARD_ statuses.
#pragma once

extern "C++" {
#include <windows.h>
}

typedef LONG RESPONSECODE;

#define IFD_SUCCESS 0
#define IFD_ERROR_TAG 600
#define IFD_ERROR_POWER_ACTION 608
#define IFD_COMMUNICATION_ERROR 612
#define IFD_NOT_SUPPORTED 614
#define IFD_PROTOCOL_NOT_SUPPORTED 615
#define IFD_NO_SUCH_DEVICE 617
#define IFD_ERROR_INSUFFICIENT_BUFFER 618
#define IFD_ICC_PRESENT 715
#define IFD_ICC_NOT_PRESENT 716

#define IFD_POWER_UP 500
#define IFD_POWER_DOWN 501
#define IFD_RESET 502

#define TAG_IFD_ATR 0x0303
#define MAX_ATR_SIZE 33
