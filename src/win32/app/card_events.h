// Card events on their way from a monitor thread to the user-interface
// thread: a fixed ring behind a slim lock. The poster wakes the tray window
// with WM_APP_CARD_EVENT; the handler drains every queued event in order, so
// a wake-up that the system could not deliver is made up by the next one.
#pragma once

#include "app/shell.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

namespace velmora::win32 {

class CardEventQueue {
public:
    static constexpr size_t kCapacity = 64;

    // False when the ring is full; the event is then not queued.
    bool Push(const CardEvent& event);
    // False when the ring is empty.
    bool Pop(CardEvent* event);
    size_t Size();

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    CardEvent slots_[kCapacity] = {};
    size_t head_ = 0;  // next to pop
    size_t count_ = 0;
};

// Queues the event and wakes the window with message. From the window's own
// thread a full ring is made room in by handling its oldest event at once
// (handle); any other thread waits for the window's thread to drain it.
void PostCardEventTo(CardEventQueue* queue, HWND window, UINT message, const CardEvent& event,
                     void (*handle)(const CardEvent&));

// Hands every queued event to handle, oldest first.
void DrainCardEvents(CardEventQueue* queue, void (*handle)(const CardEvent&));

} // namespace velmora::win32
