#include "app/card_events.h"

namespace velmora::win32 {

namespace {
constexpr int kFullWaitMs = 5000;
} // namespace

bool CardEventQueue::Push(const CardEvent& event) {
    AcquireSRWLockExclusive(&lock_);
    bool room = count_ < kCapacity;
    if (room) {
        slots_[(head_ + count_) % kCapacity] = event;
        ++count_;
    }
    ReleaseSRWLockExclusive(&lock_);
    return room;
}

bool CardEventQueue::Pop(CardEvent* event) {
    AcquireSRWLockExclusive(&lock_);
    bool any = count_ > 0;
    if (any) {
        *event = slots_[head_];
        head_ = (head_ + 1) % kCapacity;
        --count_;
    }
    ReleaseSRWLockExclusive(&lock_);
    return any;
}

size_t CardEventQueue::Size() {
    AcquireSRWLockShared(&lock_);
    size_t count = count_;
    ReleaseSRWLockShared(&lock_);
    return count;
}

void PostCardEventTo(CardEventQueue* queue, HWND window, UINT message, const CardEvent& event,
                     void (*handle)(const CardEvent&)) {
    bool ownThread = GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
    for (int waited = 0; !queue->Push(event); ++waited) {
        if (ownThread) {
            // Oldest first, so the order of events is kept.
            CardEvent oldest;
            if (queue->Pop(&oldest)) handle(oldest);
            continue;
        }
        // The window's thread may be waiting for this monitor to end (a
        // retire): give up rather than wait for each other for ever.
        if (!IsWindow(window) || waited >= kFullWaitMs) return;
        Sleep(1);
    }
    PostMessageA(window, message, 0, 0);
}

void DrainCardEvents(CardEventQueue* queue, void (*handle)(const CardEvent&)) {
    CardEvent event;
    while (queue->Pop(&event)) handle(event);
}

} // namespace velmora::win32
