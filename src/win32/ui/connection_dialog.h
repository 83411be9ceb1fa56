// The connection dialog over template 101: a modeless dialog whose
// procedure hands every command to the core, and the core's view of it.
// The command path touches no control: the status line and the log are
// kept as texts and copied to their controls at the display tick, the
// fields and the reader choice are read back from copies taken when they
// change, and the controls' states are written only when they change.
#pragma once

#include "ui/dialog_text.h"
#include "ui/view.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velmora::win32 {

class ConnectionDialogWindow final : public velmora::ConnectionDialogView {
public:
    HWND Window() const { return window_; }
    // Starts (or ends, with none) a dialog's life: empty texts, nothing
    // known about its controls.
    void Attach(HWND window);

    void SetStatusText(const char* text) override;
    void InsertLogText(size_t position, const char* text) override;
    size_t LogLineStart(int line) override;
    void CutLogFrom(size_t position) override;
    void ReadHostText(char* text, size_t size) override;
    void ReadPortText(char* text, size_t size) override;
    void WriteHostText(const char* text) override;
    void WritePortText(const char* text) override;
    void ClearReaderList() override;
    void AddReaderEntry(const char* name) override;
    void SelectReaderEntry(int index) override;
    int SelectedReaderEntry() override;
    void ReadReaderEntry(int index, char* text, size_t size) override;
    void ApplyControls(const velmora::ControlStates& states) override;
    void FocusConnect() override;
    void PostCommand(int id) override;
    void ShowErrorBox(const char* text, const char* title) override;

    // Copies the changed texts to the status line and the log; the
    // dialog's timer calls it, and anything that needs the screen current.
    void FlushDisplay();
    // A control said it changed (WM_COMMAND): its copy is taken again.
    void ControlChanged(int id);

private:
    // Copies of what the core reads, each valid once taken. 512 covers
    // every read of the command path (the enable rules read 500).
    struct FieldCopy {
        char text[512];
        bool valid;
    };

    LRESULT Send(int id, UINT message, WPARAM wParam, LPARAM lParam);
    void Enable(int id, bool enabled);
    void ReadField(int id, FieldCopy& copy, char* text, size_t size);
    void ScheduleDisplay();

    HWND window_ = nullptr;
    bool displayPending_ = false;
    velmora::DialogText text_;
    FieldCopy host_ = {};
    FieldCopy port_ = {};
    int selected_ = -1;
    bool selectedValid_ = false;
    velmora::ControlStates shown_ = {};
    char shownProtocol_[4] = {};
    bool shownValid_ = false;
};

// The one connection dialog; its window is none while it is closed.
extern ConnectionDialogWindow g_connectionDialog;

// Creates the dialog owned by owner, or brings the open one to the front.
// False if it could not be created.
bool OpenConnectionDialog(HINSTANCE instance, HWND owner);

INT_PTR CALLBACK ConnectionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lifts the log's text limit; part of the dialog's opening.
void PrepareLog(HWND dialog);

// The core's notification for a control's notification code.
int DialogNotification(int id, int code);

} // namespace velmora::win32
