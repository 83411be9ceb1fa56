// Shared set-up for the core's unit tests: a fake reader, the card access
// state reset, and a connection dialog that records what it is shown.
#pragma once

#include "fake_pcsc.h"
#include "protocol/command.h"
#include "reader/card.h"
#include "ui/view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

class RecordingDialog : public velmora::ConnectionDialogView {
public:
    std::string status;
    std::string log;
    int statusWrites = 0;
    std::string host;
    std::string port;
    std::vector<std::string> readers;
    int selected = -1;
    velmora::ControlStates controls{};
    int refreshes = 0;
    std::vector<int> posted;
    std::vector<std::string> errorBoxes;

    void SetStatusText(const char* text) override {
        status = text;
        ++statusWrites;
    }
    void InsertLogText(size_t position, const char* text) override { log.insert(position, text); }
    size_t LogLineStart(int line) override {
        size_t at = 0;
        for (int i = 0; i < line; ++i) {
            size_t next = log.find('\n', at);
            if (next == std::string::npos) return 0;
            at = next + 1;
        }
        return at < log.size() ? at : 0;
    }
    void CutLogFrom(size_t position) override { log.erase(position); }
    void ReadHostText(char* text, size_t size) override { std::snprintf(text, size, "%s", host.c_str()); }
    void ReadPortText(char* text, size_t size) override { std::snprintf(text, size, "%s", port.c_str()); }
    void WriteHostText(const char* text) override { host = text; }
    void WritePortText(const char* text) override { port = text; }
    void ClearReaderList() override {
        readers.clear();
        selected = -1;
    }
    void AddReaderEntry(const char* name) override { readers.emplace_back(name); }
    void SelectReaderEntry(int index) override { selected = index; }
    int SelectedReaderEntry() override { return selected; }
    void ReadReaderEntry(int index, char* text, size_t size) override {
        bool valid = index >= 0 && static_cast<size_t>(index) < readers.size();
        std::snprintf(text, size, "%s", valid ? readers[static_cast<size_t>(index)].c_str() : "");
    }
    void ApplyControls(const velmora::ControlStates& states) override {
        controls = states;
        ++refreshes;
    }
    void FocusConnect() override {}
    void PostCommand(int id) override { posted.push_back(id); }
    void ShowErrorBox(const char* text, const char* title) override {
        errorBoxes.push_back(std::string(title) + ": " + text);
    }
};

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
