// Shared set-up for the core's unit tests: a fake reader, the card access
// state reset, and a connection dialog that records what it is shown.
#pragma once

#include "fake_pcsc.h"
#include "recording_dialog.h"
#include "protocol/command.h"
#include "reader/card.h"
#include "ui/view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

class CoreTest : public ::testing::Test {
protected:
    static constexpr const char* kReaderName = "Sim Reader 0";

    RecordingDialog dialog;
    int reader = 0;

    void SetUp() override {
        fakepcsc::Reset();
        velmora::g_card = velmora::CardAccessState{};
        reader = fakepcsc::AddReader(kReaderName);
        velmora::SetConnectionDialog(&dialog);
    }
    void TearDown() override {
        velmora::DisconnectCard();
        velmora::SetConnectionDialog(nullptr);
    }

    // The reader as the reader selection leaves it after Open.
    void OpenReader(bool withCard, DWORD protocols = SCARD_PROTOCOL_T1) {
        if (withCard) fakepcsc::InsertCard(reader, protocols);
        std::snprintf(velmora::g_card.readerName, sizeof velmora::g_card.readerName, "%s",
                      kReaderName);
        velmora::g_card.context = 1;
        velmora::g_card.readerState.szReader = velmora::g_card.readerName;
        velmora::g_card.readerState.dwCurrentState = withCard ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    }

    static std::string Run(const char* line) {
        char reply[1000];
        std::memset(reply, 'Z', sizeof reply);
        velmora::InterpretCommand(line, reply);
        std::string text(reply);
        EXPECT_LE(text.size(), velmora::kReplyMax) << line;
        return text;
    }
    static std::string Run(const std::string& line) { return Run(line.c_str()); }

    static void SetTransmitAnswer(size_t length, uint8_t fill = 0x5A) {
        std::string data(length, static_cast<char>(fill));
        fakepcsc::SetTransmitAnswer(reinterpret_cast<const uint8_t*>(data.data()), length);
    }
    static void SetControlAnswer(size_t length, uint8_t fill = 0x3C) {
        std::string data(length, static_cast<char>(fill));
        fakepcsc::SetControlAnswer(reinterpret_cast<const uint8_t*>(data.data()), length);
    }
};
