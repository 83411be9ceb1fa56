// Connecting again after the link ended by itself: the server closed, a
// connect was refused, a lookup or a read failed. The first try comes after
// the set interval; each further one waits twice as long, up to 60 s (or the
// interval, when that is longer). A connection that is made resets the wait;
// Disconnect stops the retries until the next Connect. Off while the
// interval is 0. User-interface thread only.
#pragma once

#include <cstdint>

namespace velmora {

class ConnectionDialogView;

// The shell's single-shot timer; Start replaces a running one.
class ReconnectTimer {
public:
    virtual void StartReconnectTimer(uint32_t milliseconds) = 0;
    virtual void StopReconnectTimer() = 0;

protected:
    ~ReconnectTimer() = default;
};

constexpr uint32_t kReconnectCeilingSeconds = 60;

void SetReconnectTimer(ReconnectTimer* timer);
void SetReconnectInterval(uint32_t seconds);

// The shell's timer ran out: the next try starts.
void ReconnectTimerFired();

// Whether a try is waiting for the timer.
bool ReconnectPending();

// The link's side.
void ReconnectLinkLost();    // the link ended by itself: schedule a try
void ReconnectLinkUp();      // a connection was made
void ReconnectConnecting();  // a connect starts, whoever asked: no try waits
void ReconnectStop();        // Disconnect: no tries until Connect
void ReconnectResume();      // Connect pressed

} // namespace velmora
