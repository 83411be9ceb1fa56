// InterpretCommand over the fake reader, with the card's answers, failures
// and presence chosen by the input, and the reply in a guarded buffer.
//
// Input: command lines separated by NUL bytes (each cut at 999 bytes, trailing
// white space removed as the link does), optionally followed by "\0\0" and
// the reader's set-up, read in order; missing bytes read as zero, which means
// a present T=0/T=1 card, no failures and empty answers:
//   flags; failure picks for shared connect, direct connect, transmit,
//   control, feature request, attribute; transmit, control and feature
//   answers; attribute count and attributes; then one event byte per command.
#include "fakes.h"
#include "wire/attributes.h"
#include "recording_dialog.h"
#include "support.h"

namespace {

enum Flag : uint8_t {
    kCardOut = 0x01,       // no card in the reader
    kStalePresence = 0x02,  // the card access state believes the opposite
    kOnlyT0 = 0x04,
    kOnlyT1 = 0x08,
    kNoReaderName = 0x10,  // never opened: every connect fails
    kNoDialog = 0x20,
    kNoShell = 0x40,        // no PIN entry dialog can be made
    kAttribLimit = 0x80,    // the client library's attribute request limit
};

enum Event : uint8_t {
    kRemoveCard = 0x01,       // taken out of the reader, not yet seen
    kInsertCard = 0x02,       // put in, not yet seen
    kMonitorCatchesUp = 0x04, // the monitor reports the reader's state
    kCardGone = 0x08,         // the card event that drops the connection
    kClearFailures = 0x10,
};

struct Scenario {
    std::vector<std::string> lines;
    std::vector<uint8_t> setup;
};

constexpr char kSetupMark[] = {'\0', '\0'};

Scenario Split(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = text + size;
    const char* mark = std::search(text, end, kSetupMark, kSetupMark + 2);
    Scenario s;
    if (mark != end) s.setup.assign(data + (mark - text) + 2, data + size);
    for (const char* at = text;;) {
        const char* stop = std::find(at, mark, '\0');
        std::string line(at, stop);
        line.resize(std::min(line.size(), velmora::kCommandMax));
        while (!line.empty() && (line.back() == ' ' || (line.back() >= '\t' && line.back() <= '\r'))) {
            line.pop_back();
        }
        s.lines.push_back(line);
        if (stop == mark) break;
        at = stop + 1;
    }
    return s;
}

DWORD Protocols(uint8_t flags) {
    bool t0 = (flags & kOnlyT0) != 0;
    bool t1 = (flags & kOnlyT1) != 0;
    if (t0 == t1) return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    return t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
}

int SetUpReader(fuzz::Input& in, uint8_t flags) {
    bool cardIn = (flags & kCardOut) == 0;
    bool seen = (flags & kStalePresence) != 0 ? !cardIn : cardIn;
    int reader = fuzz::OpenReader(cardIn, seen, Protocols(flags));
    if ((flags & kNoReaderName) != 0) velmora::g_card.readerName[0] = '\0';
    if ((flags & kAttribLimit) != 0) fakepcsc::SetAttribRequestLimit(MAX_BUFFER_SIZE);

    fakepcsc::Failures& fail = fakepcsc::Fail();
    fail.sharedConnect = fuzz::PickStatus(in);
    fail.directConnect = fuzz::PickStatus(in);
    fail.transmit = fuzz::PickStatus(in);
    fail.control = fuzz::PickStatus(in);
    fail.featureRequest = fuzz::PickStatus(in);
    fail.getAttrib = fuzz::PickStatus(in);

    std::vector<uint8_t> answer = fuzz::PickAnswer(in);
    fakepcsc::SetTransmitAnswer(answer.data(), answer.size());
    answer = fuzz::PickAnswer(in);
    fakepcsc::SetControlAnswer(answer.data(), answer.size());
    answer = fuzz::PickAnswer(in);
    fakepcsc::SetFeatureAnswer(answer.data(), answer.size());

    int attributes = in.Byte() % 9;  // the fake keeps at most 8
    for (int i = 0; i < attributes; ++i) {
        uint8_t pick = in.Byte();
        DWORD id = pick < velmora::kAttributeNameCount ? velmora::kAttributeNames[pick].id : in.Long();
        answer = fuzz::PickAnswer(in);
        fakepcsc::SetAttribute(id, answer.data(), answer.size());
    }
    return reader;
}

void HandEvent(velmora::CardEvent::Kind kind, DWORD state) {
    velmora::CardEvent event{};
    event.kind = kind;
    event.state = state;
    velmora::HandleCardEvent(event);
}

// What the reader says now, as a monitor would see it.
DWORD ReaderState() {
    SCARD_READERSTATE probe{};
    probe.szReader = fuzz::kReaderName;
    SCardGetStatusChange(1, 0, &probe, 1);
    return probe.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
}

void ApplyEvent(uint8_t event, int reader, uint8_t flags) {
    if ((event & kRemoveCard) != 0) fakepcsc::RemoveCard(reader);
    if ((event & kInsertCard) != 0) fakepcsc::InsertCard(reader, Protocols(flags));
    if ((event & kMonitorCatchesUp) != 0) HandEvent(velmora::CardEvent::Kind::StateOnly, ReaderState());
    if ((event & kCardGone) != 0) {
        HandEvent(velmora::CardEvent::Kind::Change, velmora::g_card.readerState.dwCurrentState);
    }
    if ((event & kClearFailures) != 0) fakepcsc::Fail() = fakepcsc::Failures{};
}

void RunLine(const std::string& line, fuzz::ReplyBuffer& reply) {
    const fuzz::ExactText text(line.data(), line.size());
    velmora::InterpretCommand(text.get(), reply.Fresh());
    fuzz::CheckReply(reply.get(), text.get());
    fuzz::CheckConnection(text.get());
    fuzz::CheckFeatureSet(velmora::g_card.features, text.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scenario scenario = Split(data, size);
    fuzz::Input in(scenario.setup.data(), scenario.setup.size());
    uint8_t flags = in.Byte();

    fuzz::ResetCore();
    FakeShell shell;
    RecordingDialog dialog;
    velmora::SetShell((flags & kNoShell) != 0 ? nullptr : &shell);
    velmora::SetConnectionDialog((flags & kNoDialog) != 0 ? nullptr : &dialog);
    int reader = SetUpReader(in, flags);

    fuzz::ReplyBuffer reply;
    for (const std::string& line : scenario.lines) {
        ApplyEvent(in.Byte(), reader, flags);
        RunLine(line, reply);
    }

    velmora::ResetPinPad();
    velmora::DisconnectCard();
    velmora::SetConnectionDialog(nullptr);
    velmora::SetShell(nullptr);
    return 0;
}
