#include "app/win32_shell.h"

#include "app/tray.h"
#include "pinpad/pin_dialog.h"
#include "reader/monitor.h"
#include "ui/connection_dialog.h"
#include "ui/pin_dialog.h"

namespace velmora::win32 {

Win32Shell g_shell;
WinsockNetwork g_network;

void Win32Shell::PostCardEvent(const velmora::CardEvent& event) {
    PostCardEventTo(&events_, g_app.tray, WM_APP_CARD_EVENT, event, velmora::HandleCardEvent);
}

void Win32Shell::HandleQueuedCardEvents() { DrainCardEvents(&events_, velmora::HandleCardEvent); }

void Win32Shell::DestroyPinDialog() { velmora::ClosePinDialog(); }

void Win32Shell::StartReconnectTimer(uint32_t milliseconds) {
    SetTimer(g_app.tray, kReconnectTimerId, milliseconds, nullptr);
}

void Win32Shell::StopReconnectTimer() { KillTimer(g_app.tray, kReconnectTimerId); }

void Win32Shell::LinkOrCardChanged() { UpdateTrayStatus(); }

velmora::PinDialogView* Win32Shell::CreatePinDialog(velmora::ConnectionDialogView* owner) {
    HWND ownerWindow = owner == &g_connectionDialog ? g_connectionDialog.Window() : nullptr;
    return CreatePinDialogWindow(g_app.instance, ownerWindow);
}

} // namespace velmora::win32
