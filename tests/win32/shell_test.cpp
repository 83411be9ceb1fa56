// Tests of the Win32 shell's own parts, run under Wine: centring, the tray
// icon record, the card event ring between threads, the send queue and the
// Winsock network's completion of partial sends over loopback, and the
// connection and PIN entry dialog views over the real template controls.
#include "app/card_events.h"
#include "app/tray.h"
#include "link/send_queue.h"
#include "link/winsock_network.h"
#include "ui/connection_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/resource.h"
#include "link/link.h"
#include "ui/dialog.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace velmora::win32;
using velmora::SendQueue;

namespace {

int g_checks = 0;
int g_failures = 0;

void Check(bool ok, const char* what, int line) {
    ++g_checks;
    if (ok) return;
    ++g_failures;
    std::printf("  line %d: %s\n", line, what);
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

// --- centring and the tray icon record ---------------------------------------

void CentringTruncatesTowardZero() {
    struct Row {
        RECT desktop;
        RECT window;
        LONG x;
        LONG y;
    } rows[] = {
        {{0, 0, 800, 600}, {10, 10, 311, 210}, 249, 200},     // the half pixel is dropped
        {{0, 0, 800, 600}, {0, 0, 800, 600}, 0, 0},           // as large as the desktop
        {{0, 0, 800, 600}, {0, 0, 1001, 801}, -100, -100},    // larger: toward zero, not down
        {{-1024, 0, 0, 768}, {0, 0, 301, 101}, -662, 333},    // a desktop left of the origin
    };
    for (const Row& r : rows) {
        POINT p = CenteredOrigin(r.desktop, r.window);
        CHECK(p.x == r.x && p.y == r.y);
    }
}

void TrayRecordCutsTheTipAt127() {
    NOTIFYICONDATAA data;
    std::string longTip(200, 'x');
    FillTrayIconData(&data, longTip.c_str(), reinterpret_cast<HWND>(0x1234), nullptr);
    CHECK(std::strlen(data.szTip) == 127);
    CHECK(data.uFlags == (NIF_MESSAGE | NIF_ICON | NIF_TIP));
    CHECK(data.uCallbackMessage == 1025);
    CHECK(data.uID == 0 && data.cbSize == sizeof data);
    FillTrayIconData(&data, nullptr, nullptr, nullptr);
    CHECK(data.szTip[0] == '\0');
    FillTrayIconData(&data, "Velmora Client", nullptr, nullptr);
    CHECK(std::strcmp(data.szTip, "Velmora Client") == 0);
}

// --- card events ---------------------------------------------------------------

std::vector<int> g_handled;
void Record(const velmora::CardEvent& event) { g_handled.push_back(event.code); }

velmora::CardEvent Event(int code) {
    velmora::CardEvent e{};
    e.kind = velmora::CardEvent::Kind::Change;
    e.code = code;
    return e;
}

HWND MessageWindow() {
    return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

// Handles the wake-ups as the tray window does: each drains the ring.
void Pump(HWND window, CardEventQueue* queue, UINT message) {
    MSG m;
    while (PeekMessageA(&m, window, message, message, PM_REMOVE)) DrainCardEvents(queue, Record);
}

void RingKeepsOrderAndRefusesWhenFull() {
    CardEventQueue queue;
    for (int i = 0; i < static_cast<int>(CardEventQueue::kCapacity); ++i) CHECK(queue.Push(Event(i)));
    CHECK(!queue.Push(Event(-1)));
    velmora::CardEvent e;
    CHECK(queue.Pop(&e) && e.code == 0);
    CHECK(queue.Push(Event(64)));  // wraps
    int expected = 1;
    bool inOrder = true;
    while (queue.Pop(&e)) inOrder = inOrder && e.code == expected++;
    CHECK(inOrder && expected == 65);
}

void FullRingOnTheWindowsThreadHandlesTheOldestFirst() {
    static CardEventQueue queue;
    HWND window = MessageWindow();
    g_handled.clear();
    for (int i = 0; i < 70; ++i) PostCardEventTo(&queue, window, WM_APP + 1, Event(i), Record);
    CHECK(g_handled.size() == 6);  // made room for the last six
    Pump(window, &queue, WM_APP + 1);
    bool inOrder = g_handled.size() == 70;
    for (size_t i = 0; inOrder && i < g_handled.size(); ++i) inOrder = g_handled[i] == static_cast<int>(i);
    CHECK(inOrder);
    DestroyWindow(window);
}

void EventsFromAnotherThreadArriveInOrder() {
    static CardEventQueue queue;
    HWND window = MessageWindow();
    g_handled.clear();
    constexpr int kEvents = 2000;
    std::thread monitor([window] {
        for (int i = 0; i < kEvents; ++i) PostCardEventTo(&queue, window, WM_APP + 2, Event(i), Record);
    });
    DWORD start = GetTickCount();
    while (g_handled.size() < kEvents && GetTickCount() - start < 10000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        Pump(window, &queue, WM_APP + 2);
    }
    monitor.join();
    Pump(window, &queue, WM_APP + 2);
    bool inOrder = g_handled.size() == kEvents;
    for (size_t i = 0; inOrder && i < g_handled.size(); ++i) inOrder = g_handled[i] == static_cast<int>(i);
    CHECK(inOrder);
    DestroyWindow(window);
}

// --- send queue and network ------------------------------------------------------

void SendQueueKeepsBytesInOrderAndRefusesOverflow() {
    static SendQueue queue;
    std::string expected;
    char chunk[1000];
    for (int round = 0; round < 40; ++round) {
        std::memset(chunk, 'a' + round % 26, sizeof chunk);
        CHECK(queue.Append(chunk, sizeof chunk));
        expected.append(chunk, sizeof chunk);
        size_t take = queue.Size() > 700 ? 700 : queue.Size();
        CHECK(std::memcmp(queue.Data(), expected.data(), take) == 0);
        queue.Consume(take);
        expected.erase(0, take);
    }
    CHECK(queue.Size() == expected.size());
    std::string big(SendQueue::kCapacity - queue.Size() + 1, 'z');
    CHECK(!queue.Append(big.data(), big.size()));
    CHECK(queue.Size() == expected.size());  // nothing of it was taken
    CHECK(queue.Append(big.data(), big.size() - 1));
    queue.Clear();
    CHECK(queue.Empty());
}

constexpr UINT kResolved = WM_APP + 10;
constexpr UINT kConnected = WM_APP + 11;
constexpr UINT kSocket = WM_APP + 12;

// Hands the network's messages to it, as the tray window does.
void PumpNetwork(WinsockNetwork* network, HWND window, DWORD ms) {
    DWORD start = GetTickCount();
    MSG m;
    do {
        while (PeekMessageA(&m, window, 0, 0, PM_REMOVE)) {
            if (m.message == kConnected) network->OnConnectDone(m.wParam, m.lParam);
            if (m.message == kSocket) network->OnSocketEvent(m.wParam, m.lParam);
            if (m.message == kResolved) network->OnLookupDone(m.wParam, m.lParam);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

SOCKET Listener(uint16_t* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, 1);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return s;
}

std::string Line(int n) {
    char text[64];
    std::snprintf(text, sizeof text, "200 TRANSMIT SUCCESS %08d", n);
    return std::string(text) + std::string(900, 'A' + n % 26) + "\n";
}

// What the kernel does not take is kept and sent on FD_WRITE, after what
// came before and before what comes after: the peer sees every byte in order.
void PartialSendsAreCompletedInOrder() {
    static WinsockNetwork network;
    HWND window = MessageWindow();
    network.SetWindow(window, kResolved, kConnected, kSocket);
    uint16_t port = 0;
    SOCKET listener = Listener(&port);
    unsigned long error = 0;
    CHECK(network.StartConnect(htonl(INADDR_LOOPBACK), port, &error) == velmora::ConnectStart::Pending);
    SOCKET peer = accept(listener, nullptr, nullptr);
    PumpNetwork(&network, window, 100);

    std::string sent;
    int n = 0;
    bool ok = true;
    // Until the kernel's buffers are full and bytes wait in the queue, then
    // a few lines more behind them.
    for (int extra = 0; ok && extra < 5 && n < 200000; ++n) {
        std::string line = Line(n);
        ok = network.Send(line.data(), line.size(), &error);
        if (ok) sent += line;
        if (network.Pending() > 0) ++extra;
    }
    CHECK(ok);
    CHECK(network.Pending() > 0);

    std::string received;
    std::thread reader([peer, &received, total = sent.size()] {
        char buffer[65536];
        while (received.size() < total) {
            int got = recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
        }
    });
    DWORD start = GetTickCount();
    while (network.Pending() > 0 && GetTickCount() - start < 10000) PumpNetwork(&network, window, 20);
    reader.join();
    CHECK(network.Pending() == 0);
    CHECK(received.size() == sent.size());
    CHECK(received == sent);

    network.Close();
    closesocket(peer);
    closesocket(listener);
    DestroyWindow(window);
}

void SendsOnAClosedNetworkFail() {
    static WinsockNetwork network;
    unsigned long error = 0;
    CHECK(!network.Send("x\n", 2, &error));
    CHECK(error == WSAENOTCONN);
    char buffer[8];
    CHECK(network.Receive(buffer, sizeof buffer, &error) == -1);
}

// --- dialog views over the templates --------------------------------------------

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

void LogKeepsFarMoreThanAnEditsDefaultLimit() {
    // The template alone, set up as the dialog's opening does it (the rest
    // of the opening needs the core and a reader).
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONNECTION), nullptr,
                                     PlainDialogProc, 0);
    CHECK(dialog != nullptr);
    PrepareLog(dialog);
    static ConnectionDialogWindow view;
    view.Attach(dialog);
    std::string line(990, 'c');
    for (int i = 0; i < 120; ++i) {
        view.InsertLogText(0, line.c_str());
        view.InsertLogText(line.size(), "\r\n");
    }
    view.FlushDisplay();
    size_t length = static_cast<size_t>(GetWindowTextLengthA(GetDlgItem(dialog, IDC_LOG)));
    CHECK(length == 120 * (line.size() + 2));
    // Line 100 between line breaks: the kept text, not the control, counts.
    size_t cut = view.LogLineStart(100);
    CHECK(cut == 100 * (line.size() + 2));
    view.CutLogFrom(cut);
    view.FlushDisplay();
    CHECK(static_cast<size_t>(GetWindowTextLengthA(GetDlgItem(dialog, IDC_LOG))) == cut);
    CHECK(view.LogLineStart(100000) == 0);
    DestroyWindow(dialog);
}

void ConnectionViewReadsAndWritesTheControls() {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONNECTION), nullptr,
                                     PlainDialogProc, 0);
    static ConnectionDialogWindow view;
    view.Attach(dialog);
    view.ClearReaderList();
    CHECK(view.SelectedReaderEntry() == -1);
    view.AddReaderEntry("<no reader selected>");
    view.AddReaderEntry("Sim Reader 00 00");
    view.SelectReaderEntry(1);
    CHECK(view.SelectedReaderEntry() == 1);
    char text[8];
    view.ReadReaderEntry(1, text, sizeof text);
    CHECK(std::strcmp(text, "Sim Rea") == 0);  // cut to the buffer
    view.ReadReaderEntry(5, text, sizeof text);
    CHECK(text[0] == '\0');
    view.WriteHostText("a-host-name-of-some-length");
    view.ReadHostText(text, sizeof text);
    CHECK(std::strcmp(text, "a-host-") == 0);
    velmora::ControlStates states{false, true, false, true, false, true, false, true, "T1"};
    view.ApplyControls(states);
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_HOST)) && IsWindowEnabled(GetDlgItem(dialog, IDC_PORT)));
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_CONNECT)) && IsWindowEnabled(GetDlgItem(dialog, IDC_DISCONNECT)));
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_READERS)) && IsWindowEnabled(GetDlgItem(dialog, IDC_OPEN)));
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_CLOSE)));
    CHECK(IsDlgButtonChecked(dialog, IDC_CARD_PRESENT) == BST_CHECKED);
    GetDlgItemTextA(dialog, IDC_PROTOCOL, text, sizeof text);
    CHECK(std::strcmp(text, "T1") == 0);
    view.SetStatusText("Namensaufl\xF6sung f\xFCr 'localhost'");
    view.FlushDisplay();
    wchar_t wide[64] = {};
    GetDlgItemTextW(dialog, IDC_STATUS, wide, 64);
    CHECK(std::wcscmp(wide, L"Namensaufl\u00F6sung f\u00FCr 'localhost'") == 0);  // Windows-1252
    DestroyWindow(dialog);
}

// The command path writes no control: texts wait for the display tick,
// and a control whose state did not change is not written again. Each
// step marks a control behind the view's back; a write would undo it.
void CommandPathLeavesTheControlsAlone() {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONNECTION), nullptr,
                                     PlainDialogProc, 0);
    static ConnectionDialogWindow view;
    view.Attach(dialog);
    velmora::ControlStates states{true, true, true, false, true, false, false, false, ""};
    view.ApplyControls(states);
    char text[16];
    view.ReadHostText(text, sizeof text);
    EnableWindow(GetDlgItem(dialog, IDC_OPEN), TRUE);
    SetDlgItemTextA(dialog, IDC_PROTOCOL, "mark");
    SetDlgItemTextA(dialog, IDC_HOST, "typed");  // no notification: the copy stays
    view.ReadHostText(text, sizeof text);
    CHECK(text[0] == '\0');
    view.ApplyControls(states);
    view.SetStatusText("Verbunden");
    view.InsertLogText(0, "STATE => 200 OK\r\n");
    CHECK(view.LogLineStart(100) == 0);
    CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_OPEN)));
    GetDlgItemTextA(dialog, IDC_PROTOCOL, text, sizeof text);
    CHECK(std::strcmp(text, "mark") == 0);
    CHECK(GetWindowTextLengthA(GetDlgItem(dialog, IDC_STATUS)) == 0);
    CHECK(GetWindowTextLengthA(GetDlgItem(dialog, IDC_LOG)) == 0);

    // What did change reaches the controls; the tick shows the texts.
    states.openEnabled = true;
    states.connectEnabled = false;
    states.protocol = "T1";
    view.ApplyControls(states);
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_CONNECT)));
    GetDlgItemTextA(dialog, IDC_PROTOCOL, text, sizeof text);
    CHECK(std::strcmp(text, "T1") == 0);
    view.ControlChanged(IDC_HOST);
    view.ReadHostText(text, sizeof text);
    CHECK(std::strcmp(text, "typed") == 0);
    view.FlushDisplay();
    GetDlgItemTextA(dialog, IDC_STATUS, text, sizeof text);
    CHECK(std::strcmp(text, "Verbunden") == 0);
    CHECK(GetWindowTextLengthA(GetDlgItem(dialog, IDC_LOG)) == 17);

    // A dialog opened again starts with nothing known: all is written.
    EnableWindow(GetDlgItem(dialog, IDC_CONNECT), TRUE);
    view.Attach(dialog);
    view.ApplyControls(states);
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_CONNECT)));
    DestroyWindow(dialog);
}

// A network whose lookups never start, as when Windows Sockets has no room
// for another asynchronous request.
class LookupRefusingNetwork final : public velmora::Network {
public:
    bool StartLookupByName(const char*) override { return false; }
    bool StartLookupByAddress(uint32_t) override { return false; }
    velmora::ConnectStart StartConnect(uint32_t, uint16_t, unsigned long*) override {
        return velmora::ConnectStart::SocketFailed;
    }
    long Receive(char*, size_t, unsigned long* error) override {
        *error = WSAENOTCONN;
        return -1;
    }
    bool Send(const char*, size_t, unsigned long*) override { return false; }
    void Close() override {}
    bool PeerHasEnded() override { return true; }
    void StartKeepalive(const velmora::KeepaliveTimers&) override {}
};

// No completion follows a lookup that did not start: the dialog's own
// controls must come back at once, not only the link's state.
void LookupThatCannotStartEnablesTheControlsAgain() {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONNECTION), nullptr,
                                     PlainDialogProc, 0);
    static ConnectionDialogWindow view;
    view.Attach(dialog);
    static LookupRefusingNetwork network;
    velmora::ResetLink();
    velmora::SetNetwork(&network);
    velmora::SetConnectionDialog(&view);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        view.WriteHostText(host);
        view.WritePortText("9688");
        velmora::ConnectionDialogCommand(&view, velmora::kIdConnect, 0);
        CHECK(velmora::g_link.state == 0);
        CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_HOST)) && IsWindowEnabled(GetDlgItem(dialog, IDC_PORT)));
        CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_CONNECT)));
        CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_DISCONNECT)));
    }
    velmora::SetConnectionDialog(nullptr);
    velmora::SetNetwork(nullptr);
    DestroyWindow(dialog);
}

void PinFieldTakesDigitsOnlyAndMasksThem() {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PIN_ENTRY), nullptr,
                                     PinDialogProc, 0);
    CHECK(dialog != nullptr && g_pinDialog.Window() == dialog);
    HWND field = GetDlgItem(dialog, IDC_PIN);
    for (char c : std::string("12a3")) SendMessageA(field, WM_CHAR, static_cast<WPARAM>(c), 0);
    CHECK(g_pinDialog.PinTextLength() == 3);
    char pin[3];
    g_pinDialog.ReadPinText(pin, sizeof pin);
    CHECK(std::strcmp(pin, "12") == 0);  // cut to the buffer
    CHECK(SendMessageA(field, EM_GETPASSWORDCHAR, 0, 0) != 0);
    g_pinDialog.SetPinReadOnly(true);
    CHECK((GetWindowLongPtrA(field, GWL_STYLE) & ES_READONLY) != 0);
    g_pinDialog.EnableOk(false);
    CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDOK)));
    g_pinDialog.Destroy();
    CHECK(g_pinDialog.Window() == nullptr);  // cleared by its WM_DESTROY
}

struct Case {
    const char* name;
    void (*run)();
};

const Case kCases[] = {
    {"CentringTruncatesTowardZero", CentringTruncatesTowardZero},
    {"TrayRecordCutsTheTipAt127", TrayRecordCutsTheTipAt127},
    {"RingKeepsOrderAndRefusesWhenFull", RingKeepsOrderAndRefusesWhenFull},
    {"FullRingOnTheWindowsThreadHandlesTheOldestFirst", FullRingOnTheWindowsThreadHandlesTheOldestFirst},
    {"EventsFromAnotherThreadArriveInOrder", EventsFromAnotherThreadArriveInOrder},
    {"SendQueueKeepsBytesInOrderAndRefusesOverflow", SendQueueKeepsBytesInOrderAndRefusesOverflow},
    {"PartialSendsAreCompletedInOrder", PartialSendsAreCompletedInOrder},
    {"SendsOnAClosedNetworkFail", SendsOnAClosedNetworkFail},
    {"LogKeepsFarMoreThanAnEditsDefaultLimit", LogKeepsFarMoreThanAnEditsDefaultLimit},
    {"ConnectionViewReadsAndWritesTheControls", ConnectionViewReadsAndWritesTheControls},
    {"CommandPathLeavesTheControlsAlone", CommandPathLeavesTheControlsAlone},
    {"PinFieldTakesDigitsOnlyAndMasksThem", PinFieldTakesDigitsOnlyAndMasksThem},
    {"LookupThatCannotStartEnablesTheControlsAgain", LookupThatCannotStartEnablesTheControlsAgain},
};

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // progress survives a crash
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    int passed = 0;
    int failed = 0;
    for (const Case& c : kCases) {
        int before = g_failures;
        c.run();
        bool ok = g_failures == before;
        std::printf("[%s] %s\n", ok ? "  OK  " : " FAIL ", c.name);
        (ok ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    WSACleanup();
    return failed == 0 ? 0 : 1;
}
