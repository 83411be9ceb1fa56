// The command path must not touch the heap: every buffer is fixed. malloc is
// replaced for this test binary to count calls around a batch of commands.
#include "fakes.h"
#include "fixture.h"
#include "pinpad/state.h"

#include <atomic>

#ifndef VELMORA_NO_MALLOC_COUNT
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
} // namespace

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

extern "C" void* malloc(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    return __libc_realloc(pointer, size);
}

namespace {

class NoDialog : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        velmora::SetConnectionDialog(nullptr);  // the shell's widgets are not the core's
    }
};

TEST_F(NoDialog, CommandPathAllocatesNothing) {
    OpenReader(true);
    SetTransmitAnswer(255);
    SetControlAnswer(20);
    const uint8_t vendor[] = {'V', 'M'};
    fakepcsc::SetAttribute(SCARD_ATTR_VENDOR_NAME, vendor, sizeof vendor);
    const uint8_t features[] = {0x0B, 4, 0x42, 0x33, 0x00, 0x0B};
    fakepcsc::SetFeatureAnswer(features, sizeof features);
    std::string apdu = "TRANSMIT T1 " + std::string(2 * 255, 'A');
    const char* lines[] = {
        "", "STATE", "CARD", "EJECT", "POWER ON", "SET_ATTRIBUTE 1", "SET_PROTOCOL 1", "SWALLOW 1",
        apdu.c_str(), "TRANSMIT T0 00A40400", "TRANSMIT TX 00", "IOCTL 313520", "IOCTL 0",
        "GET_ATTRIBUTE VENDOR_NAME", "GET_ATTRIBUTE NOPE", "BAD\x01", "NOSUCH",
    };
    char reply[1000];
    velmora::InterpretCommand("STATE", reply);  // warm up lazily initialised runtime state
    g_counting = true;
    for (int round = 0; round < 3; ++round) {
        for (const char* line : lines) velmora::InterpretCommand(line, reply);
        // The direct connection path: drop the card and answer from the reader.
        velmora::DisconnectCard();
        velmora::g_card.readerState.dwCurrentState = SCARD_STATE_EMPTY;
        velmora::InterpretCommand("IOCTL 1", reply);
        velmora::InterpretCommand("GET_ATTRIBUTE VENDOR_NAME", reply);
        velmora::InterpretCommand("TRANSMIT T1 00B00000", reply);
        velmora::g_card.readerState.dwCurrentState = SCARD_STATE_PRESENT;
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
}

TEST_F(NoDialog, PinPadPathAllocatesNothing) {
    FakeShell shell;
    velmora::SetShell(&shell);
    velmora::ResetPinPad();
    OpenReader(true);
    SetTransmitAnswer(2, 0x90);
    const uint8_t digit = 0x2B;
    fakepcsc::SetControlAnswer(&digit, 1);
    const char* start = "IOCTL 313524 0000000000080000000000000000000400000000200081";
    char reply[1000];
    velmora::InterpretCommand("STATE", reply);
    velmora::InterpretCommand("IOCTL 313534", reply);  // connects
    const velmora::FeatureTable mapped{
        velmora::PlatformCtlCode(3500), velmora::PlatformCtlCode(3501),
        velmora::PlatformCtlCode(3502), velmora::PlatformCtlCode(3503)};
    g_counting = true;
    for (int round = 0; round < 3; ++round) {
        velmora::g_card.features = velmora::FeatureTable{};
        velmora::InterpretCommand(start, reply);
        shell.PinView().Type("1234");
        for (int poll = 0; poll < 5; ++poll) velmora::InterpretCommand("IOCTL 313534", reply);
        shell.PinView().PressOk();
        velmora::InterpretCommand("IOCTL 313534", reply);
        velmora::InterpretCommand("IOCTL 313528", reply);
        velmora::InterpretCommand("IOCTL 313528", reply);  // refused
        velmora::InterpretCommand(start, reply);
        velmora::InterpretCommand("IOCTL 31354C", reply);

        velmora::g_card.features = mapped;
        velmora::InterpretCommand(start, reply);
        for (int poll = 0; poll < 3; ++poll) velmora::InterpretCommand("IOCTL 313534", reply);
        velmora::InterpretCommand("IOCTL 313528 00", reply);
        velmora::InterpretCommand(start, reply);
        shell.PinView().PressClose();
        velmora::InterpretCommand("IOCTL 31354C", reply);
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_EQ(shell.pinDialogsCreated, 12);
    velmora::ResetPinPad();
    velmora::SetShell(nullptr);
}

} // namespace
#endif
