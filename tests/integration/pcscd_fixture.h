// The private pcscd the integration tests run against (one per test
// process, with simulated readers) and a fixture that brings the readers and
// the core's card access state into a known state before each test.
#pragma once

#include "private_pcscd.h"
#include "reader/card.h"

#include <gtest/gtest.h>

#include <string>

namespace pcscdtest {

// Reader 0: a T=1 card and a PIN pad. Reader 1: no card, no PIN pad.
// Reader 2: a T=1 card whose presence pcscd polls for itself.
constexpr size_t kCardReader = 0;
constexpr size_t kEmptyReader = 1;
constexpr size_t kPolledReader = 2;

simreader::PrivatePcscd& Pcscd();

// Hex of a text's bytes, as replies and control commands write them.
std::string HexOf(const std::string& text);

class PcscdTest : public ::testing::Test {
protected:
    SCARDCONTEXT context = 0;

    void SetUp() override;
    void TearDown() override;

    // One control command to a simulated reader; a failing reply fails the test.
    static std::string Sim(size_t reader, const std::string& line);
    // Waits until pcscd shows the reader with or without a card; its state word.
    DWORD WaitForCard(size_t reader, bool present);
    // Back to the reader's start settings, with pcscd caught up.
    void ResetReader(size_t reader, bool presentAtStart);
    // Replaces the card by one that offers T0, T1 or BOTH.
    void SwapCard(size_t reader, const std::string& protocols);
    // The card access state as the reader selection leaves it after Open,
    // on this fixture's real context.
    void OpenReader(size_t reader);
    // One server command through the core's interpreter; the reply line.
    static std::string Run(const std::string& line);
};

} // namespace pcscdtest
