// The support log: every status line and protocol-log line, with a time
// stamp, appended to a file the user names. VERIFY-type APDUs and PIN-pad
// structures lose their data on the way, so the file can be sent on. The
// file is capped; one older copy is kept beside it as "<name>.1".
// User-interface thread only.
#pragma once

#include <cstddef>

namespace velmora {

class ConnectionDialogView;

constexpr long kSupportLogCap = 1024 * 1024;
constexpr size_t kSupportLineSize = 2200;

// Starts logging to path; an empty path turns the log off. The file is
// opened at once; if it cannot be, that is reported once (see below) and
// the client goes on without it.
void OpenSupportLog(const char* path);
void CloseSupportLog();
bool SupportLogOn();

// One status line ('S') or protocol-log line ('P'). Line breaks inside the
// text become " | ".
void SupportLogLine(char kind, const char* text);

// The first failure to write the file, on the status line once; kept for
// the dialog's first opening when it is not open yet.
void ReportSupportLogFailure(ConnectionDialogView* dialog);

// Copies text with the data of VERIFY-type APDUs (INS 20, 21, 24, 2C) after
// their header and of the PIN-pad codes' IOCTLs replaced by "**". Returns
// the length written; the copy is cut to size - 1.
size_t RedactPins(const char* text, char* out, size_t size);

} // namespace velmora
