// The connection dialog over template 101: a modeless dialog whose
// procedure hands every command to the core, and the core's view of it
// written with the controls' own messages.
#pragma once

#include "ui/view.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velmora::win32 {

class ConnectionDialogWindow final : public velmora::ConnectionDialogView {
public:
    HWND Window() const { return window_; }
    void Attach(HWND window) { window_ = window; }

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

    // Paints the status line and the log as they are now; the dialog's
    // timer calls it, and anything that needs the screen current.
    void FlushDisplay();

private:
    LRESULT Send(int id, UINT message, WPARAM wParam, LPARAM lParam);
    void Enable(int id, bool enabled);
    void SetTextIfChanged(int id, const char* text);
    void DeferDisplay();

    HWND window_ = nullptr;
    bool deferred_ = false;
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
