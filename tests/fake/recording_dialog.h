// A connection dialog that records what it is shown, for unit tests and
// fuzz targets. Like the shells' widgets, it takes log positions past the
// end as the end, and cuts past the end do nothing.
#pragma once

#include "ui/view.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

class RecordingDialog : public velmora::ConnectionDialogView {
public:
    std::string status;
    std::string log;
    int statusWrites = 0;
    std::string host = "localhost";
    std::string port = "9688";
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
    void InsertLogText(size_t position, const char* text) override {
        log.insert(std::min(position, log.size()), text);
    }
    size_t LogLineStart(int line) override {
        size_t at = 0;
        for (int i = 0; i < line; ++i) {
            size_t next = log.find('\n', at);
            if (next == std::string::npos) return 0;
            at = next + 1;
        }
        return at < log.size() ? at : 0;
    }
    void CutLogFrom(size_t position) override {
        if (position < log.size()) log.erase(position);
    }
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
