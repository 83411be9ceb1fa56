// The shell side of the core on Win32: card events queued onto the
// user-interface thread, and the PIN entry dialog's life.
#pragma once

#include "app/card_events.h"
#include "app/shell.h"
#include "app/tray_status.h"
#include "link/reconnect.h"
#include "link/winsock_network.h"

namespace velmora::win32 {

class Win32Shell final : public velmora::Shell,
                         public velmora::ReconnectTimer,
                         public velmora::StatusWatcher {
public:
    void PostCardEvent(const velmora::CardEvent& event) override;
    void DestroyPinDialog() override;
    velmora::PinDialogView* CreatePinDialog(velmora::ConnectionDialogView* owner) override;

    // A timer of the tray window; its WM_TIMER goes to ReconnectTimerFired.
    void StartReconnectTimer(uint32_t milliseconds) override;
    void StopReconnectTimer() override;
    // The tray's tip and icon follow the core when the status is shown.
    void LinkOrCardChanged() override;

    // WM_APP_CARD_EVENT: every queued event, in order.
    void HandleQueuedCardEvents();

private:
    CardEventQueue events_;
};

extern Win32Shell g_shell;
extern WinsockNetwork g_network;

} // namespace velmora::win32
