// The status line and log texts a shell keeps for its controls, driven by
// the fuzzer's operations and compared with a plain string after each:
// inserts at any position (past the end too) of texts of any length and
// byte, cuts, line starts, and logs pushed past their room.
#include "support.h"
#include "ui/dialog_text.h"

namespace {

using velmora::DialogText;
using velmora::kLogTextCapacity;

// Same rules as the kept log, on a std::string.
void ModelInsert(std::string& log, size_t position, const std::string& text) {
    std::string cut = text.substr(0, kLogTextCapacity);
    if (log.size() + cut.size() > kLogTextCapacity) {
        size_t limit = kLogTextCapacity - cut.size();
        size_t keep = 0;
        for (size_t i = 0; i < limit && i < log.size(); ++i) {
            if (log[i] == '\n') keep = i + 1;
        }
        log.resize(keep == 0 ? limit : keep);
    }
    log.insert(std::min(position, log.size()), cut);
}

size_t ModelLineStart(const std::string& log, int line) {
    size_t at = 0;
    for (int i = 0; i < line; ++i) {
        size_t next = log.find('\n', at);
        if (next == std::string::npos) return 0;
        at = next + 1;
    }
    return at < log.size() ? at : 0;
}

// A text of the input's bytes (no NUL: the texts are C strings), sometimes
// stretched far past the log's room.
std::string Text(fuzz::Input& in) {
    size_t length = in.Byte();
    if (length >= 250) length = static_cast<size_t>(in.Word()) * 8;
    std::vector<uint8_t> bytes = in.Sized(length);
    std::string text(bytes.begin(), bytes.end());
    for (char& c : text) {
        if (c == '\0') c = '\n';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DialogText text;  // large: kept off the stack
    text.Clear();
    text.TakeChanges();
    std::string log;
    std::string status;
    fuzz::Input in(data, size);
    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        switch (in.Byte() % 4) {
        case 0: {
            size_t position = in.Word();
            std::string inserted = Text(in);
            fuzz::ExactText exact(inserted.c_str(), inserted.size());
            text.InsertLog(position, exact.get());
            ModelInsert(log, position, inserted);
            break;
        }
        case 1: {
            size_t position = in.Word();
            text.CutLogFrom(position);
            if (position < log.size()) log.resize(position);
            break;
        }
        case 2: {
            int line = in.Byte();
            fuzz::Check(text.LogLineStart(line) == ModelLineStart(log, line), "line start differs");
            break;
        }
        default: {
            std::string shown = Text(in);
            fuzz::ExactText exact(shown.c_str(), shown.size());
            text.SetStatus(exact.get());
            status = shown.substr(0, velmora::kStatusTextSize - 1);
            break;
        }
        }
        fuzz::Check(text.LogLength() <= kLogTextCapacity, "log past its room");
        fuzz::Check(text.LogLength() == log.size() && std::memcmp(text.Log(), log.data(), log.size()) == 0 &&
                        text.Log()[log.size()] == '\0',
                    "log differs");
        fuzz::Check(status == text.Status(), "status differs");
    }
    return 0;
}
