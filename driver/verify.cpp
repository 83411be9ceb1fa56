// VERIFY_PIN_DIRECT for server programs, carried out with the client's
// PIN-pad bridge: start, poll the keys until the entry ends, finish. The
// PIN is typed at the workstation and never passes through here.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace velmora::reader {
namespace {

constexpr size_t kFixedSize = 19;  // PIN_VERIFY_STRUCTURE up to abData
constexpr size_t kApduHeader = 4;
constexpr size_t kDataLengthAt = 15;
constexpr int kDefaultTimeOutSeconds = 60;

constexpr uint8_t kKeyValidation = 0x0D;
constexpr uint8_t kKeyCancel = 0x1B;
constexpr uint8_t kKeyTimeOut = 0x40;

constexpr uint8_t kSwCancelled[] = {0x64, 0x01};
constexpr uint8_t kSwTimedOut[] = {0x64, 0x00};

// The bridge's codes are fixed in the wire form, whatever the client's platform.
CommandLine Command(uint32_t function) {
    CommandLine command;
    command.Text("IOCTL ").Number(WireCtlCode(function));
    return command;
}

// The structure must be whole and carry a VERIFY: the bridge builds the
// APDU it sends from this template.
bool ValidStructure(const uint8_t* in, size_t inLength) {
    if (inLength < kFixedSize + kApduHeader) return false;
    uint32_t dataLength = in[kDataLengthAt] | uint32_t{in[kDataLengthAt + 1]} << 8 |
                          uint32_t{in[kDataLengthAt + 2]} << 16 | uint32_t{in[kDataLengthAt + 3]} << 24;
    uint8_t ins = in[kFixedSize + 1];
    return dataLength == inLength - kFixedSize && (ins == 0x20 || ins == 0x21);
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Result Answer(const uint8_t* sw, uint8_t* out, size_t capacity, size_t* outLength) {
    if (capacity < 2) return Result::Small;
    std::memcpy(out, sw, 2);
    *outLength = 2;
    return Result::Ok;
}

// A bridge refusal that means the entry was cancelled or never confirmed.
bool Cancelled(const char* reply) {
    return std::strstr(reply, "=80100012") != nullptr || std::strstr(reply, "=80100002") != nullptr;
}

} // namespace

// The key that ended the entry; -1 when the connection failed, -2 at the deadline.
int Session::PollKeys(int64_t deadlineMs) {
    const CommandLine command = Command(kFunctionGetKeyPressed);
    for (;;) {
        if (NowMs() >= deadlineMs) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.keyPollMs));
        uint8_t key[kLineBuffer];
        size_t length = 0;
        if (Data(command, "IOCTL", key, sizeof key, &length) != Result::Ok) return -1;
        if (length != 1) continue;
        if (key[0] == kKeyValidation || key[0] == kKeyCancel || key[0] == kKeyTimeOut) return key[0];
    }
}

Result Session::VerifyPinDirect(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity,
                                size_t* outLength) {
    if (!ValidStructure(in, inLength)) {
        Log(kLogError, "VERIFY_PIN_DIRECT refused: the structure of %zu bytes holds no VERIFY template", inLength);
        return Result::Failed;
    }
    // The structure goes whole or not at all: a program may hand in any length.
    CommandLine start = Command(kFunctionVerifyPinStart);
    start.Text(" ").Bytes(in, inLength);
    uint8_t answer[kLineBuffer];
    size_t length = 0;
    Result result = Data(start, "IOCTL", answer, sizeof answer, &length);
    if (result != Result::Ok) return result;
    Log(kLogInfo, "PIN entry started at the workstation");

    const int seconds = in[0] != 0 ? in[0] : kDefaultTimeOutSeconds;
    const int64_t deadline = NowMs() + int64_t{seconds} * options_.pinSecondMs;
    int key = PollKeys(deadline);
    if (key == -1) return Result::Failed;
    if (key == -2) {
        Log(kLogError, "PIN entry not finished within %d s: aborted", seconds);
        Data(Command(kFunctionAbort), "IOCTL", answer, sizeof answer, &length);
        return Answer(kSwTimedOut, out, capacity, outLength);
    }
    char reply[kLineBuffer];
    result = Exchange(Command(kFunctionVerifyPinFinish), reply);
    if (result != Result::Ok) return result;
    Reply parsed = ParseReply(reply, "IOCTL");
    if (parsed.kind == ReplyKind::Failed && Cancelled(reply)) {
        Log(kLogInfo, "PIN entry cancelled at the workstation");
        return Answer(kSwCancelled, out, capacity, outLength);
    }
    if (parsed.kind == ReplyKind::NoMedia) return Result::NoCard;
    if (parsed.kind != ReplyKind::Success || !ReadHex(parsed.data, parsed.dataLength, out, capacity, outLength)) {
        char shown[80];
        Printable(reply, shown, sizeof shown);
        Log(kLogError, "VERIFY_PIN_FINISH: unexpected reply %s", shown);
        return Result::Failed;
    }
    Log(kLogInfo, "PIN entry finished");
    return Result::Ok;
}

} // namespace velmora::reader
