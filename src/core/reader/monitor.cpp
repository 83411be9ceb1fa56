#include "reader/monitor.h"

#include "link/link.h"
#include "reader/card.h"
#include "ui/view.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora {
namespace {

// One running monitor at a time. Its slot is shared with its thread: a
// thread that does not end in time keeps its slot alive by itself while a
// new monitor takes another. Everything but the atomics and the mutex-
// guarded flag is written before the thread starts and read-only after.
struct MonitorSlot {
    SCARDCONTEXT context = 0;
    char readerName[kReaderNameSize] = {};
    unsigned long expected = 0;
    uint32_t id = 0;
    std::atomic<bool> retired{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
};

std::shared_ptr<MonitorSlot> g_slot;  // user-interface thread only
std::thread g_thread;
uint32_t g_currentMonitor = 0;  // user-interface thread only
uint32_t g_lastMonitor = 0;
std::atomic<int> g_liveThreads{0};
std::chrono::milliseconds g_retireBound{2000};

void Post(const MonitorSlot& slot, CardEvent::Kind kind, int code, unsigned long state,
          LONG status) {
    Shell* shell = CurrentShell();
    if (shell == nullptr) return;
    CardEvent event{};
    event.kind = kind;
    event.code = code;
    event.restart = true;
    event.monitor = slot.id;
    event.state = state;
    event.status = static_cast<long>(status);
    shell->PostCardEvent(event);
}

void MonitorThread(std::shared_ptr<MonitorSlot> slot) {
    unsigned long expected = slot->expected;
    while (!slot->retired.load(std::memory_order_acquire)) {
        SCARD_READERSTATEA record{};
        record.szReader = slot->readerName;
        record.dwCurrentState = static_cast<DWORD>(expected);
        LONG status = SCardGetStatusChangeA(slot->context, INFINITE, &record, 1);
        // A retired monitor looks at nothing its wait returned.
        if (slot->retired.load(std::memory_order_acquire)) break;
        if (status != SCARD_S_SUCCESS) {
            Post(*slot, CardEvent::Kind::WaitFailed, 0, expected, status);
            break;
        }
        int code = CardEdge(expected, static_cast<unsigned long>(record.dwEventState));
        expected = static_cast<unsigned long>(record.dwEventState);
        if (code != 0) {
            Post(*slot, CardEvent::Kind::Change, code, expected, SCARD_S_SUCCESS);
            break;
        }
        Post(*slot, CardEvent::Kind::StateOnly, 0, expected, SCARD_S_SUCCESS);
    }
    SCardReleaseContext(slot->context);
    {
        std::lock_guard<std::mutex> lock(slot->mutex);
        slot->finished = true;
        slot->ended.notify_all();
    }
    g_liveThreads.fetch_sub(1, std::memory_order_acq_rel);
}

void ShowWaitFailure(LONG status) {
    char text[1000];
    SystemMessageText(StatusWord(status), text, sizeof text);
    ShowStatus(ConnectionDialog(), "SCardGetStatusChange()=%08lX , %s", StatusWord(status), text);
}

void AnnounceCard(const char* what) {
    char line[32];
    std::snprintf(line, sizeof line, "EVENT CARD %s\r\n", what);
    LogInsert(0, line);
    int length = std::snprintf(line, sizeof line, "EVENT CARD %s\n", what);
    LinkSendLine(line, static_cast<size_t>(length));
}

} // namespace

int CardEdge(unsigned long before, unsigned long after) {
    int code = 0;
    if ((before & SCARD_STATE_PRESENT) == 0 && (after & SCARD_STATE_PRESENT) != 0) code = 1;
    if ((before & SCARD_STATE_EMPTY) == 0 && (after & SCARD_STATE_EMPTY) != 0) code = 2;
    // The upper 16 bits count insertions and removals; a card present on
    // both sides of a moved count was swapped (or reinserted) in between.
    // A count of 0 in the expected state is not compared, as the wait itself
    // ignores it.
    const unsigned long countBefore = (before >> 16) & 0xFFFFul;
    const unsigned long countAfter = (after >> 16) & 0xFFFFul;
    bool presentBoth = (before & after & SCARD_STATE_PRESENT) != 0 &&
                       ((before | after) & SCARD_STATE_EMPTY) == 0;
    if (code == 0 && presentBoth && countBefore != 0 && countAfter != countBefore) code = kCardSwapped;
    return code;
}

uint32_t CurrentMonitor() { return g_currentMonitor; }

int LiveMonitorThreads() { return g_liveThreads.load(std::memory_order_acquire); }

void SetMonitorRetireBound(std::chrono::milliseconds bound) { g_retireBound = bound; }

void RetireMonitor() {
    g_currentMonitor = 0;
    if (!g_thread.joinable()) return;
    std::shared_ptr<MonitorSlot> slot = std::move(g_slot);
    slot->retired.store(true, std::memory_order_release);
    // The cancel may come before the thread enters its wait; repeat it until
    // the thread has seen the flag, but not for ever: a resource manager that
    // never releases the wait must not freeze the user-interface thread. A
    // thread left behind ends by itself, and its late events carry an id
    // that is no longer current.
    const auto deadline = std::chrono::steady_clock::now() + g_retireBound;
    std::unique_lock<std::mutex> lock(slot->mutex);
    while (!slot->finished && std::chrono::steady_clock::now() < deadline) {
        lock.unlock();
        SCardCancel(slot->context);
        lock.lock();
        slot->ended.wait_for(lock, std::chrono::milliseconds(20), [&] { return slot->finished; });
    }
    bool finished = slot->finished;
    lock.unlock();
    if (finished) {
        g_thread.join();
    } else {
        g_thread.detach();
    }
}

void StartMonitor() {
    RetireMonitor();
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return;  // no events until the reader is opened again
    }
    if (++g_lastMonitor == 0) ++g_lastMonitor;
    auto slot = std::make_shared<MonitorSlot>();
    slot->context = context;
    std::snprintf(slot->readerName, sizeof slot->readerName, "%s", g_card.readerName);
    slot->expected = static_cast<unsigned long>(g_card.readerState.dwCurrentState);
    slot->id = g_lastMonitor;
    g_currentMonitor = slot->id;
    g_slot = slot;
    g_liveThreads.fetch_add(1, std::memory_order_acq_rel);
    g_thread = std::thread(MonitorThread, std::move(slot));
}

void HandleCardEvent(const CardEvent& event) {
    bool fromMonitor = event.monitor != 0;
    if (fromMonitor && event.monitor != g_currentMonitor) return;  // superseded or retired
    switch (event.kind) {
    case CardEvent::Kind::StateOnly:
        g_card.readerState.dwCurrentState = static_cast<DWORD>(event.state);
        break;
    case CardEvent::Kind::WaitFailed:
        // Card events stop here until the reader is opened again: say so,
        // whether or not a card connection is held.
        ShowWaitFailure(static_cast<LONG>(event.status));
        break;
    case CardEvent::Kind::Change:
        if (fromMonitor) g_card.readerState.dwCurrentState = static_cast<DWORD>(event.state);
        // A connection held across a removal belongs to the card that left;
        // every command on it would fail. The next command connects anew.
        if (fromMonitor && (event.code == 1 || event.code == kCardSwapped)) DisconnectCard();
        if (event.code == 0) {
            DisconnectCard();
        } else if (event.code == kCardSwapped) {
            AnnounceCard("REMOVED");
            AnnounceCard("INSERTED");
        } else {
            AnnounceCard(event.code == 1 ? "INSERTED" : "REMOVED");
        }
        if (event.restart) StartMonitor();
        break;
    }
    RefreshDialogControls(ConnectionDialog());
}

} // namespace velmora
