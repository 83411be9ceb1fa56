// The connection dialog as the core sees it. Each shell implements this over
// its own widgets; texts are Windows-1252 and converted only inside the
// implementation. The core decides, the view applies.
#pragma once

#include <cstddef>

namespace velmora {

// Control ids of the connection dialog; the commands the core handles.
enum DialogCommand : int {
    kIdHost = 1001,
    kIdPort = 1002,
    kIdConnect = 1003,
    kIdDisconnect = 1004,
    kIdReaderList = 1005,
    kIdOpen = 1008,
    kIdClose = 1009,
};

enum DialogNotification : int {
    kNotifyNone = 0,
    kNotifyEditChanged,   // the text of the host or port field changed
    kNotifySelChanged,    // another reader was chosen
};

// What the enable rules decide for the controls.
struct ControlStates {
    bool hostEnabled;
    bool portEnabled;
    bool connectEnabled;
    bool disconnectEnabled;
    bool readerListEnabled;
    bool openEnabled;
    bool closeEnabled;
    bool cardPresent;
    const char* protocol;  // "T0", "T1" or ""
};

class ConnectionDialogView {
public:
    // Status line and protocol log.
    virtual void SetStatusText(const char* text) = 0;
    virtual void InsertLogText(size_t position, const char* text) = 0;
    // Character position at which the log's line `line` (from 0) begins, or
    // 0 if the log has no such line.
    virtual size_t LogLineStart(int line) = 0;
    virtual void CutLogFrom(size_t position) = 0;

    // Host and port fields; reads are cut to size - 1 characters.
    virtual void ReadHostText(char* text, size_t size) = 0;
    virtual void ReadPortText(char* text, size_t size) = 0;
    virtual void WriteHostText(const char* text) = 0;
    virtual void WritePortText(const char* text) = 0;

    // Reader list: entry 0 is "<no reader selected>".
    virtual void ClearReaderList() = 0;
    virtual void AddReaderEntry(const char* name) = 0;
    virtual void SelectReaderEntry(int index) = 0;
    virtual int SelectedReaderEntry() = 0;  // -1 when none
    virtual void ReadReaderEntry(int index, char* text, size_t size) = 0;

    virtual void ApplyControls(const ControlStates& states) = 0;
    virtual void FocusConnect() = 0;
    // Queues a command to the dialog itself, handled after the current event.
    virtual void PostCommand(int id) = 0;
    // A modal error box owned by the dialog.
    virtual void ShowErrorBox(const char* text, const char* title) = 0;

protected:
    ~ConnectionDialogView() = default;
};

constexpr size_t kStatusTextSize = 2000;  // 1999 characters and the terminator
constexpr int kLogMaxLines = 100;

// The open connection dialog; nullptr while it is closed. Set and cleared by
// the shell on the user-interface thread.
ConnectionDialogView* ConnectionDialog();
void SetConnectionDialog(ConnectionDialogView* dialog);

// printf-style status text, cut at 1999 characters; nothing for a closed dialog.
void ShowStatus(ConnectionDialogView* dialog, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The text most recently given to ShowStatus.
const char* LastStatusText();

void LogInsert(size_t position, const char* text);
void LogTrim();

// Recomputes the dialog's controls from the link state and the card access
// state; nothing for a closed dialog.
void RefreshDialogControls(ConnectionDialogView* dialog);

// The enable rules as a pure function, for the shells' tests.
ControlStates ComputeControlStates(bool hostEmpty, const char* portText, int linkState,
                                   int chosenReader, unsigned long currentState, bool cardHandle,
                                   unsigned long activeProtocol);

} // namespace velmora
