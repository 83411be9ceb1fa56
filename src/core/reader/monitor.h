// The card presence monitor: a worker thread that blocks in the PC/SC status
// wait on a context of its own and reports the first insertion or removal it
// sees as a card event. It shares nothing with the user-interface thread but
// the posted events and the atomics of its slot.
#pragma once

#include "app/shell.h"

#include <chrono>
#include <cstdint>

namespace velmora {

// Starts a monitor for the open reader, superseding any running one. The
// monitor expects the current state word of the card access state.
void StartMonitor();

// Retires the running monitor: it posts nothing more (its events are
// ignored by their monitor id). Its thread has ended when this returns,
// unless the status wait ignored the cancel for the retire bound; such a
// thread is left to end by itself.
void RetireMonitor();

// The longest RetireMonitor waits for the thread (2 s unless set).
void SetMonitorRetireBound(std::chrono::milliseconds bound);

// Monitor threads that have not ended yet, retired or not.
int LiveMonitorThreads();

// Identity of the current monitor; 0 when none is wanted.
uint32_t CurrentMonitor();

// A card present before and after while the count of card changes moved.
constexpr int kCardSwapped = 3;

// The edge between two state words: 0 none, 1 inserted, 2 removed (removal
// wins when both show), kCardSwapped for removed and inserted since.
int CardEdge(unsigned long before, unsigned long after);

// Handles a card event on the user-interface thread.
void HandleCardEvent(const CardEvent& event);

} // namespace velmora
