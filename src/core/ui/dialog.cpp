// The connection dialog's rules: what opening it does, what its commands
// do, and which controls are enabled.
#include "ui/dialog.h"

#include "app/settings.h"
#include "app/tray_status.h"
#include "link/link.h"
#include "link/reconnect.h"
#include "reader/card.h"
#include "reader/readers.h"

#include <cstdio>

namespace velmora {
namespace {

constexpr size_t kPortFieldSize = 500;
constexpr long kPortMax = 65535;

} // namespace

ControlStates ComputeControlStates(bool hostEmpty, const char* portText, int linkState,
                                   int chosenReader, unsigned long currentState, bool cardHandle,
                                   unsigned long activeProtocol) {
    long port = ParsePortText(portText);
    bool invalid = hostEmpty || port < 1 || port > kPortMax;
    bool idle = LinkIdle(linkState);
    bool readerOpen = currentState != 0;
    ControlStates s{};
    s.hostEnabled = idle;
    s.portEnabled = idle;
    s.connectEnabled = idle && !invalid;
    s.disconnectEnabled = LinkReached(linkState, LinkPhase::Connected);
    s.readerListEnabled = !readerOpen;
    s.openEnabled = !readerOpen && chosenReader > 0;
    s.closeEnabled = readerOpen;
    s.cardPresent = (currentState & SCARD_STATE_PRESENT) != 0;
    s.protocol = "";
    if (cardHandle && activeProtocol == SCARD_PROTOCOL_T0) s.protocol = "T0";
    if (cardHandle && activeProtocol == SCARD_PROTOCOL_T1) s.protocol = "T1";
    return s;
}

void RefreshDialogControls(ConnectionDialogView* dialog) {
    NotifyStatusWatcher();
    if (dialog == nullptr) return;
    char host[2];
    dialog->ReadHostText(host, sizeof host);
    char port[kPortFieldSize];
    dialog->ReadPortText(port, sizeof port);
    ControlStates states = ComputeControlStates(
        host[0] == '\0', port, g_link.state, dialog->SelectedReaderEntry(),
        static_cast<unsigned long>(g_card.readerState.dwCurrentState), g_card.card != 0,
        g_card.activeProtocol);
    // A waiting retry is stopped with Disconnect.
    if (ReconnectPending()) states.disconnectEnabled = true;
    dialog->ApplyControls(states);
}

void ConnectIfAllowed(ConnectionDialogView* dialog) {
    char host[2];
    char port[kPortFieldSize];
    dialog->ReadHostText(host, sizeof host);
    dialog->ReadPortText(port, sizeof port);
    ControlStates s = ComputeControlStates(host[0] == '\0', port, g_link.state, 0, 0, false, 0);
    // A Connect while the button is off, such as the auto-connect of a
    // dialog reopened during a connection, is dropped.
    if (s.connectEnabled) StartServerConnect(dialog);
}

void ConnectionDialogOpened(ConnectionDialogView* dialog) {
    FillReaderList(dialog);
    dialog->WriteHostText(g_link.host);
    char port[8];
    std::snprintf(port, sizeof port, "%d", static_cast<int>(g_link.port));
    dialog->WritePortText(port);
    dialog->FocusConnect();
    RefreshDialogControls(dialog);
    ReportSettingsProblems(dialog);
    dialog->PostCommand(kIdConnect);
}

bool ConnectionDialogCommand(ConnectionDialogView* dialog, int id, int notification) {
    switch (id) {
    case kIdHost:
    case kIdPort:
        if (notification == kNotifyEditChanged) RefreshDialogControls(dialog);
        return true;
    case kIdConnect:
        ReconnectResume();
        ConnectIfAllowed(dialog);
        return true;
    case kIdDisconnect: CloseServerConnection(dialog); return true;
    case kIdReaderList:
        if (notification == kNotifySelChanged) RefreshDialogControls(dialog);
        return true;
    case kIdOpen: OpenReader(dialog); return true;
    case kIdClose: CloseReader(dialog); return true;
    default: return false;
    }
}

} // namespace velmora
