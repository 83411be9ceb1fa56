#include "link/reconnect.h"

#include "link/link.h"
#include "ui/dialog.h"
#include "ui/view.h"

#include <cstdio>

namespace velmora {
namespace {

struct Schedule {
    ReconnectTimer* timer;
    uint32_t interval;  // seconds; 0 off
    uint32_t delay;     // seconds before the next scheduled try
    bool pending;
    bool stopped;
};
Schedule g_schedule{};

uint32_t Ceiling() {
    return g_schedule.interval > kReconnectCeilingSeconds ? g_schedule.interval : kReconnectCeilingSeconds;
}

void CancelTimer() {
    if (g_schedule.pending && g_schedule.timer != nullptr) g_schedule.timer->StopReconnectTimer();
    g_schedule.pending = false;
}

} // namespace

void SetReconnectTimer(ReconnectTimer* timer) {
    CancelTimer();
    g_schedule.timer = timer;
}

void SetReconnectInterval(uint32_t seconds) {
    CancelTimer();
    g_schedule.interval = seconds;
    g_schedule.delay = seconds;
    g_schedule.stopped = false;
}

bool ReconnectPending() { return g_schedule.pending; }

void ReconnectLinkLost() {
    if (g_schedule.interval == 0 || g_schedule.stopped || g_schedule.timer == nullptr) return;
    uint32_t wait = g_schedule.delay;
    g_schedule.pending = true;
    g_schedule.timer->StartReconnectTimer(wait * 1000u);
    uint32_t next = wait >= Ceiling() / 2 ? Ceiling() : wait * 2;
    g_schedule.delay = next > wait ? next : wait;
    // Why the link ended stays in view above the announcement.
    ShowStatus(ConnectionDialog(), "%.1900s\nN\xE4" "chster Verbindungsversuch in %u s", LastStatusText(),
               static_cast<unsigned>(wait));
}

void ReconnectLinkUp() { g_schedule.delay = g_schedule.interval; }

void ReconnectConnecting() { CancelTimer(); }

void ReconnectStop() {
    CancelTimer();
    g_schedule.stopped = true;
    g_schedule.delay = g_schedule.interval;
}

void ReconnectResume() {
    g_schedule.stopped = false;
    g_schedule.delay = g_schedule.interval;
}

void ReconnectTimerFired() {
    if (!g_schedule.pending) return;
    g_schedule.pending = false;
    if (!LinkIdle(g_link.state)) return;  // the user connected meanwhile
    ConnectionDialogView* dialog = ConnectionDialog();
    if (dialog != nullptr) {
        ConnectIfAllowed(dialog);
    } else {
        StartServerConnect(nullptr);
    }
}

} // namespace velmora
