// What the core needs from the shell besides the dialog and the network:
// a way to hand card events to the user-interface thread, and the PIN entry
// dialog's end.
#pragma once

#include <cstdint>

namespace velmora {

class ConnectionDialogView;
class PinDialogView;

// A card event on its way to the user-interface thread.
struct CardEvent {
    enum class Kind : uint8_t {
        Change,      // code 0 no card, 1 inserted, 2 removed, 3 removed and inserted;
                     // restart starts a new monitor
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
    // Destroys the PIN entry dialog if it is open; a shell does it with
    // ClosePinDialog (pinpad/pin_dialog.h).
    virtual void DestroyPinDialog() = 0;
    // Creates the PIN entry dialog, modeless, owned by the window of owner
    // (no owner for nullptr) and destroyed together with it; nullptr if it
    // cannot be created. The field starts empty and editable. Its text
    // changes, OK, close request and destruction, whatever the cause, go to
    // the PinDialog* functions of pinpad/pin_dialog.h. A shell without one
    // keeps the default, and the server's PIN entry is refused.
    virtual PinDialogView* CreatePinDialog(ConnectionDialogView* owner);

protected:
    ~Shell() = default;
};

void SetShell(Shell* shell);
Shell* CurrentShell();

} // namespace velmora
