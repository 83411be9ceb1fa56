// What the core needs from the shell besides the dialog and the network:
// a way to hand card events to the user-interface thread, and the PIN entry
// dialog's end.
#pragma once

#include <cstdint>

namespace velmora {

// A card event on its way to the user-interface thread.
struct CardEvent {
    enum class Kind : uint8_t {
        Change,      // code 0 no card, 1 inserted, 2 removed; restart starts a new monitor
        StateOnly,   // a monitor saw a change without an edge: take over its state word
        WaitFailed,  // a monitor's status wait failed with status
    };
    Kind kind;
    int code;
    bool restart;
    uint32_t monitor;     // the sending monitor; 0 from the user-interface thread
    unsigned long state;  // the monitor's new state word
    long status;
};

class Shell {
public:
    // Queues the event for the user-interface thread; callable from any
    // thread. The shell calls HandleCardEvent with it there.
    virtual void PostCardEvent(const CardEvent& event) = 0;
    // Destroys the PIN entry dialog if it is open.
    virtual void DestroyPinDialog() = 0;

protected:
    ~Shell() = default;
};

void SetShell(Shell* shell);
Shell* CurrentShell();

} // namespace velmora
