#include "reader/readers.h"

#include "app/settings.h"
#include "app/shell.h"
#include "reader/card.h"
#include "reader/monitor.h"

#include <cstring>

namespace velmora {
namespace {

constexpr size_t kReaderListSize = 1000;
constexpr const char* kNoReader = "<no reader selected>";

bool EnsureContext(ConnectionDialogView* dialog) {
    // A held card connection keeps its context; otherwise start afresh, so a
    // restarted resource manager is picked up.
    if (g_card.card == 0 && g_card.context != 0) {
        SCardReleaseContext(g_card.context);
        g_card.context = 0;
    }
    if (g_card.context != 0) return true;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        g_card.context = 0;
        if (dialog != nullptr) dialog->ShowErrorBox("SCardEstablishContext() failed", "Fehlermeldung");
        return false;
    }
    g_card.context = context;
    return true;
}

// Whether the reader holds a card that accepts a connection with one of
// the protocols.
bool ProbeCard(const char* name, DWORD protocols) {
    if (std::strlen(name) >= kReaderNameSize) return false;
    SCARDHANDLE probe = 0;
    DWORD protocol = 0;
    if (SCardConnectA(g_card.context, name, SCARD_SHARE_SHARED, protocols, &probe,
                      &protocol) != SCARD_S_SUCCESS) {
        return false;
    }
    SCardDisconnect(probe, SCARD_LEAVE_CARD);
    return true;
}

// The selected reader's state; the state is unknown to the call, so it
// answers at once.
LONG ReadReaderState() {
    g_card.readerState = SCARD_READERSTATEA{};
    g_card.readerState.szReader = g_card.readerName;
    return SCardGetStatusChangeA(g_card.context, 0, &g_card.readerState, 1);
}

void PostCardChange(int code, bool restart) {
    Shell* shell = CurrentShell();
    if (shell == nullptr) return;
    CardEvent event{};
    event.kind = CardEvent::Kind::Change;
    event.code = code;
    event.restart = restart;
    shell->PostCardEvent(event);
}

} // namespace

void FillReaderList(ConnectionDialogView* dialog) {
    if (!EnsureContext(dialog) || dialog == nullptr) return;
    dialog->ClearReaderList();
    dialog->AddReaderEntry(kNoReader);

    char list[kReaderListSize];
    DWORD length = sizeof list;
    if (SCardListReadersA(g_card.context, nullptr, list, &length) != SCARD_S_SUCCESS) length = 0;
    if (length > sizeof list) length = sizeof list;
    list[sizeof list - 1] = '\0';

    int match = 0;
    int firstUsable = 0;
    int preferred = 0;
    const char* wanted = CurrentSettings().reader;
    int number = 0;
    for (const char* name = list; length > 0 && *name != '\0'; name += std::strlen(name) + 1) {
        ++number;
        dialog->AddReaderEntry(name);
        if (match == 0 && std::strcmp(name, g_card.readerName) == 0) match = number;
        if (firstUsable == 0 && ProbeCard(name, SCARD_PROTOCOL_T1)) firstUsable = number;
        if (preferred == 0 && wanted[0] != '\0' && std::strstr(name, wanted) != nullptr &&
            ProbeCard(name, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) {
            preferred = number;
        }
    }
    // The user's reader, when it holds a card, comes before the first usable one.
    if (preferred != 0) firstUsable = preferred;
    dialog->SelectReaderEntry(match);
    if (match == 0 && firstUsable != 0) {
        dialog->SelectReaderEntry(firstUsable);
        dialog->PostCommand(kIdOpen);
    }
}

void OpenReader(ConnectionDialogView* dialog) {
    if (dialog == nullptr) return;
    char name[kReaderListSize];
    dialog->ReadReaderEntry(dialog->SelectedReaderEntry(), name, sizeof name);
    if (std::strlen(name) >= kReaderNameSize) {
        ShowStatus(dialog, "Lesername zu lang: '%.60s...'", name);
        return;
    }
    // A new Open supersedes the running monitor before the record is reused.
    RetireMonitor();
    std::memcpy(g_card.readerName, name, std::strlen(name) + 1);
    LONG status = ReadReaderState();
    if (ResourceManagerGone(status) && g_card.card == 0) {
        // The resource manager was restarted under us: its contexts died
        // with it. A fresh one lets Open recover without a restart.
        if (g_card.context != 0) SCardReleaseContext(g_card.context);
        g_card.context = 0;
        if (EnsureContext(dialog)) status = ReadReaderState();
    }
    if (status != SCARD_S_SUCCESS) {
        char text[1000];
        SystemMessageText(StatusWord(status), text, sizeof text);
        g_card.readerState = SCARD_READERSTATEA{};
        ShowStatus(dialog, "SCardGetStatusChange()=%08lX, %s", StatusWord(status), text);
        return;
    }
    g_card.readerState.dwCurrentState = g_card.readerState.dwEventState;
    RefreshDialogControls(dialog);
    PostCardChange(CardPresent() ? 1 : 0, true);
}

void CloseReader(ConnectionDialogView* dialog) {
    RetireMonitor();
    DisconnectCard();
    if (Shell* shell = CurrentShell()) shell->DestroyPinDialog();
    if (CardPresent()) PostCardChange(2, false);
    g_card.readerState = SCARD_READERSTATEA{};
    RefreshDialogControls(dialog);
}

void ReleaseReaderAccess() {
    RetireMonitor();
    if (g_card.context != 0) SCardReleaseContext(g_card.context);
    g_card.card = 0;
    g_card.activeProtocol = 0;
    g_card.context = 0;
}

} // namespace velmora
