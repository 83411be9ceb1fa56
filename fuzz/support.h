// Shared by the fuzz targets: a reader over the fuzzer's bytes, the checks
// every reply line must pass, guarded buffers, and the core's globals set
// back between inputs.
#pragma once

#include "fake_pcsc.h"
#include "pinpad/state.h"
#include "protocol/command.h"
#include "reader/card.h"
#include "ui/view.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

// A broken invariant: say which, then crash so that libFuzzer keeps the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("INVARIANT BROKEN: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

inline void Check(bool ok, const char* what) {
    if (!ok) Fail("%s", what);
}

// The fuzzer's bytes, read front to back. Reads past the end give zeros, so
// every input is complete and a short one means "all defaults".
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Long() { return uint32_t{Word()} | (uint32_t{Word()} << 16); }

    // Up to n bytes; fewer when the input runs out.
    std::vector<uint8_t> Bytes(size_t n) {
        size_t take = std::min(n, size_ - std::min(at_, size_));
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + take);
        at_ += take;
        return out;
    }

    // Exactly n bytes: what the input has, repeated to length, so that a
    // short input can still describe a long answer.
    std::vector<uint8_t> Sized(size_t n) {
        std::vector<uint8_t> out = Bytes(n);
        size_t had = out.size();
        for (size_t i = had; i < n; ++i) out.push_back(had > 0 ? out[i % had] : 0);
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A NUL-terminated copy in a heap block of exactly its size, so that ASan
// reports a read past the terminator.
class ExactText {
public:
    ExactText(const char* text, size_t length) : bytes_(new char[length + 1]) {
        if (length > 0) std::memcpy(bytes_.get(), text, length);
        bytes_[length] = '\0';
    }
    const char* get() const { return bytes_.get(); }

private:
    std::unique_ptr<char[]> bytes_;
};

// The reply buffer as the link passes it: 1000 bytes on the heap, so ASan's
// redzones catch a write on either side. The last byte is poisoned as well,
// because the interpreter is promised only kReplyBufferMin of them.
class ReplyBuffer {
public:
    static constexpr size_t kSize = 1000;
    static_assert(kSize > velmora::kReplyBufferMin);

    ReplyBuffer() : bytes_(new char[kSize]) {
        std::memset(bytes_.get(), 'Z', kSize);
        ASAN_POISON_MEMORY_REGION(bytes_.get() + velmora::kReplyBufferMin,
                                  kSize - velmora::kReplyBufferMin);
    }
    ~ReplyBuffer() {
        ASAN_UNPOISON_MEMORY_REGION(bytes_.get() + velmora::kReplyBufferMin,
                                    kSize - velmora::kReplyBufferMin);
    }
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    // Fills the usable part with a non-NUL pattern, so an unterminated reply
    // shows as one.
    char* Fresh() {
        std::memset(bytes_.get(), 'Z', velmora::kReplyBufferMin);
        return bytes_.get();
    }
    const char* get() const { return bytes_.get(); }

private:
    std::unique_ptr<char[]> bytes_;
};

// One reply line as the server must get it: terminated inside the buffer, at
// most kReplyMax characters, "200 " or "500 " first, and nothing that a
// line reader would take for the end of the line or a second one.
inline std::string CheckReply(const char* reply, const char* line) {
    const void* end = std::memchr(reply, '\0', velmora::kReplyBufferMin);
    if (end == nullptr) Fail("reply to '%.60s' not terminated inside the buffer", line);
    size_t length = static_cast<size_t>(static_cast<const char*>(end) - reply);
    std::string text(reply, length);
    if (length > velmora::kReplyMax) Fail("reply of %zu characters to '%.60s'", length, line);
    if (text.rfind("200 ", 0) != 0 && text.rfind("500 ", 0) != 0) {
        Fail("reply '%.60s' to '%.60s' is neither 200 nor 500", reply, line);
    }
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            Fail("reply to '%.60s' holds byte 0x%02X: '%.80s'", line, byte, reply);
        }
    }
    return text;
}

// The core's handle accounting: no direct connection outlives a command, and
// the fake holds exactly the handle the card access state knows of.
inline void CheckConnection(const char* after) {
    if (velmora::DirectConnection()) Fail("direct connection survived '%.60s'", after);
    int expected = velmora::g_card.card != 0 ? 1 : 0;
    if (fakepcsc::Seen().openHandles != expected) {
        Fail("%d reader handles open after '%.60s', card access state holds %d",
             fakepcsc::Seen().openHandles, after, expected);
    }
}

inline void CheckFeatureSet(const velmora::FeatureTable& t, const char* where) {
    bool start = t.verifyPinStart != 0;
    bool finish = t.verifyPinFinish != 0;
    bool key = t.getKeyPressed != 0;
    if (start != finish || start != key) {
        Fail("%s: PIN-verify codes not a complete set: %08X %08X %08X", where, t.verifyPinStart,
             t.verifyPinFinish, t.getKeyPressed);
    }
}

// Statuses the fake answers with: common ones, or any 32-bit value.
inline LONG PickStatus(Input& in) {
    static const LONG kStatuses[] = {
        0,
        static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER),
        static_cast<LONG>(SCARD_W_REMOVED_CARD),
        static_cast<LONG>(SCARD_E_NO_SMARTCARD),
        static_cast<LONG>(SCARD_E_TIMEOUT),
        static_cast<LONG>(SCARD_E_SHARING_VIOLATION),
        static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE),
        static_cast<LONG>(SCARD_E_NOT_TRANSACTED),
        static_cast<LONG>(SCARD_E_INVALID_HANDLE),
        static_cast<LONG>(SCARD_E_NO_SERVICE),
        static_cast<LONG>(0x80100099),  // no text anywhere
    };
    constexpr size_t kCount = sizeof kStatuses / sizeof kStatuses[0];
    uint8_t pick = in.Byte();
    if (pick < kCount) return kStatuses[pick];
    uint32_t raw = in.Long();
    // Either as pcsc-lite hands it out or sign-extended, as a 32-bit LONG would be.
    return (pick & 1) != 0 ? static_cast<LONG>(static_cast<int32_t>(raw)) : static_cast<LONG>(raw);
}

// An answer of up to 1200 bytes, beyond every buffer of the client.
inline std::vector<uint8_t> PickAnswer(Input& in) {
    size_t length = in.Word() % (fakepcsc::kMaxAnswer + 1);
    return in.Sized(length);
}

// Everything process-wide back to the start of a run.
inline void ResetCore() {
    fakepcsc::Reset();
    velmora::g_card = velmora::CardAccessState{};
    velmora::ResetPinPad();
}

// The reader as the reader selection leaves it after Open.
constexpr const char* kReaderName = "Sim Reader 0";
inline int OpenReader(bool cardIn, bool seenPresent, DWORD protocols) {
    int reader = fakepcsc::AddReader(kReaderName);
    if (cardIn) fakepcsc::InsertCard(reader, protocols);
    std::snprintf(velmora::g_card.readerName, sizeof velmora::g_card.readerName, "%s", kReaderName);
    velmora::g_card.context = 1;
    velmora::g_card.readerState.szReader = velmora::g_card.readerName;
    velmora::g_card.readerState.dwCurrentState = seenPresent ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    return reader;
}

// One input through a target's Run: the first byte chooses its setting,
// the rest drives its operations.
template <typename Run>
int RunInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    uint8_t flags = in.Byte();
    ResetCore();
    Run run(in, flags);
    run.SetUp();
    run.Operations();
    run.TearDown();
    return 0;
}

} // namespace fuzz
