// A reader with a card connected, the PIN-pad bridge reset and a fake shell
// that hands out a fake PIN entry dialog: the set-up of the bridge and PIN
// dialog tests.
#pragma once

#include "fakes.h"
#include "fixture.h"
#include "pinpad/bridge.h"
#include "pinpad/state.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

// A start request: 19 fixed bytes with the PIN lengths, then abData.
inline std::vector<uint8_t> StartRequest(std::initializer_list<uint8_t> abData,
                                         uint8_t minLength = 0, uint8_t maxLength = 8) {
    std::vector<uint8_t> in(19 + abData.size(), 0);
    in[5] = maxLength;
    in[6] = minLength;
    in[15] = static_cast<uint8_t>(abData.size());
    std::copy(abData.begin(), abData.end(), in.begin() + 19);
    return in;
}

class PinPadCoreTest : public CoreTest {
protected:
    FakeShell shell;

    void SetUp() override {
        CoreTest::SetUp();
        velmora::ResetPinPad();
        velmora::SetShell(&shell);
        OpenReader(true);
        velmora::ConnectCard(false);
        ASSERT_NE(velmora::g_card.card, 0u);
    }
    void TearDown() override {
        velmora::ResetPinPad();
        velmora::SetShell(nullptr);
        CoreTest::TearDown();
    }
    FakePinView& View() { return shell.PinView(); }
};
