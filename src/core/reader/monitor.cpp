#include "reader/monitor.h"

#include "link/link.h"
#include "reader/card.h"
#include "ui/view.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace velmora {
namespace {

// One running monitor at a time. Everything but the atomics and the mutex-
// guarded flag is written before the thread starts and read-only after.
struct MonitorSlot {
    std::thread thread;
    SCARDCONTEXT context = 0;
    char readerName[kReaderNameSize] = {};
    unsigned long expected = 0;
    uint32_t id = 0;
    std::atomic<bool> retired{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
};

MonitorSlot g_slot;
uint32_t g_currentMonitor = 0;  // user-interface thread only
uint32_t g_lastMonitor = 0;

void Post(CardEvent::Kind kind, int code, unsigned long state, LONG status) {
    Shell* shell = CurrentShell();
    if (shell == nullptr) return;
    CardEvent event{};
    event.kind = kind;
    event.code = code;
    event.restart = true;
    event.monitor = g_slot.id;
    event.state = state;
    event.status = static_cast<long>(status);
    shell->PostCardEvent(event);
}

void MonitorThread() {
    unsigned long expected = g_slot.expected;
    while (!g_slot.retired.load(std::memory_order_acquire)) {
        SCARD_READERSTATEA record{};
        record.szReader = g_slot.readerName;
        record.dwCurrentState = static_cast<DWORD>(expected);
        LONG status = SCardGetStatusChangeA(g_slot.context, INFINITE, &record, 1);
        // A retired monitor looks at nothing its wait returned.
        if (g_slot.retired.load(std::memory_order_acquire)) break;
        if (status != SCARD_S_SUCCESS) {
            Post(CardEvent::Kind::WaitFailed, 0, expected, status);
            break;
        }
        int code = CardEdge(expected, static_cast<unsigned long>(record.dwEventState));
        expected = static_cast<unsigned long>(record.dwEventState);
        if (code != 0) {
            Post(CardEvent::Kind::Change, code, expected, SCARD_S_SUCCESS);
            break;
        }
        Post(CardEvent::Kind::StateOnly, 0, expected, SCARD_S_SUCCESS);
    }
    SCardReleaseContext(g_slot.context);
    std::lock_guard<std::mutex> lock(g_slot.mutex);
    g_slot.finished = true;
    g_slot.ended.notify_all();
}

void ShowWaitFailure(LONG status) {
    char text[1000];
    SystemMessageText(StatusWord(status), text, sizeof text);
    ShowStatus(ConnectionDialog(), "SCardGetStatusChange()=%08lX , %s", StatusWord(status), text);
}

} // namespace

int CardEdge(unsigned long before, unsigned long after) {
    int code = 0;
    if ((before & SCARD_STATE_PRESENT) == 0 && (after & SCARD_STATE_PRESENT) != 0) code = 1;
    if ((before & SCARD_STATE_EMPTY) == 0 && (after & SCARD_STATE_EMPTY) != 0) code = 2;
    return code;
}

uint32_t CurrentMonitor() { return g_currentMonitor; }

void RetireMonitor() {
    g_currentMonitor = 0;
    if (!g_slot.thread.joinable()) return;
    g_slot.retired.store(true, std::memory_order_release);
    // The cancel may come before the thread enters its wait; repeat it until
    // the thread has seen the flag.
    std::unique_lock<std::mutex> lock(g_slot.mutex);
    while (!g_slot.finished) {
        lock.unlock();
        SCardCancel(g_slot.context);
        lock.lock();
        g_slot.ended.wait_for(lock, std::chrono::milliseconds(20), [] { return g_slot.finished; });
    }
    lock.unlock();
    g_slot.thread.join();
}

void StartMonitor() {
    RetireMonitor();
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return;  // no events until the reader is opened again
    }
    if (++g_lastMonitor == 0) ++g_lastMonitor;
    g_slot.context = context;
    std::snprintf(g_slot.readerName, sizeof g_slot.readerName, "%s", g_card.readerName);
    g_slot.expected = static_cast<unsigned long>(g_card.readerState.dwCurrentState);
    g_slot.id = g_lastMonitor;
    g_slot.retired.store(false, std::memory_order_release);
    g_slot.finished = false;
    g_currentMonitor = g_slot.id;
    g_slot.thread = std::thread(MonitorThread);
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
        if (fromMonitor && event.code == 1) DisconnectCard();
        if (event.code != 0) {
            const char* what = event.code == 1 ? "INSERTED" : "REMOVED";
            char line[32];
            std::snprintf(line, sizeof line, "EVENT CARD %s\r\n", what);
            LogInsert(0, line);
            int length = std::snprintf(line, sizeof line, "EVENT CARD %s\n", what);
            LinkSendLine(line, static_cast<size_t>(length));
        } else {
            DisconnectCard();
        }
        if (event.restart) StartMonitor();
        break;
    }
    RefreshDialogControls(ConnectionDialog());
}

} // namespace velmora
