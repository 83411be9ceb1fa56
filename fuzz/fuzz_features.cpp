// The feature request answer: parsed directly from a heap block of exactly
// its length, and as ConnectCard learns it from a reader that may claim more
// than the client's buffer holds.
//
// Input: mode byte, a tag and code for an appended entry (1 + 4 bytes), the
// length the reader claims (word), then the answer's bytes (repeated up to
// that length).
#include "support.h"

namespace {

using velmora::FeatureTable;

constexpr size_t kEntrySize = 6;

bool Same(const FeatureTable& a, const FeatureTable& b) {
    return a.verifyPinStart == b.verifyPinStart && a.verifyPinFinish == b.verifyPinFinish &&
           a.getKeyPressed == b.getKeyPressed && a.abort == b.abort;
}

FeatureTable Parse(const std::vector<uint8_t>& answer, size_t length) {
    // A heap block of exactly length bytes: nothing past it may be read.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length > 0 ? length : 1]);
    if (length > 0) std::memcpy(copy.get(), answer.data(), length);
    FeatureTable table{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    velmora::ParseFeatureAnswer(length > 0 ? copy.get() : nullptr, length, &table);
    fuzz::CheckFeatureSet(table, "ParseFeatureAnswer");
    return table;
}

void CheckParse(const std::vector<uint8_t>& answer, uint8_t tag, uint32_t code) {
    FeatureTable table = Parse(answer, answer.size());

    // A partial entry at the end is ignored.
    size_t whole = answer.size() - answer.size() % kEntrySize;
    if (!Same(Parse(answer, whole), table)) fuzz::Fail("a partial last entry changed the table");

    // One more entry: a later abort entry overrides, an unknown tag changes nothing.
    std::vector<uint8_t> longer(answer.begin(), answer.begin() + static_cast<long>(whole));
    const uint8_t entry[kEntrySize] = {tag, 4, static_cast<uint8_t>(code >> 24),
                                       static_cast<uint8_t>(code >> 16),
                                       static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
    longer.insert(longer.end(), entry, entry + kEntrySize);
    FeatureTable after = Parse(longer, longer.size());
    bool known = tag == 0x01 || tag == 0x02 || tag == 0x05 || tag == 0x0B;
    if (!known && !Same(after, table)) fuzz::Fail("entry with tag %02X changed the table", tag);
    if (tag == 0x0B && after.abort != code) fuzz::Fail("last abort entry not taken");
    if (tag != 0x0B && after.abort != table.abort) fuzz::Fail("entry with tag %02X moved abort", tag);
}

// ConnectCard with the reader's answer: the table is what the first 100
// bytes give, or empty when the request fails.
void CheckConnect(uint8_t mode, const std::vector<uint8_t>& answer) {
    fuzz::ResetCore();
    bool cardIn = (mode & 0x01) == 0;
    fuzz::OpenReader(cardIn, cardIn, SCARD_PROTOCOL_T1);
    fakepcsc::SetFeatureAnswer(answer.data(), answer.size());
    bool requestFails = (mode & 0x02) != 0;
    if (requestFails) fakepcsc::Fail().featureRequest = static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE);
    velmora::g_card.features = FeatureTable{1, 2, 3, 4};
    velmora::ConnectCard(true);
    if (velmora::g_card.card == 0) fuzz::Fail("no connection to the fake reader");
    const FeatureTable& learned = velmora::g_card.features;
    fuzz::CheckFeatureSet(learned, "ConnectCard");
    FeatureTable expected{};
    if (!requestFails) {
        size_t seen = std::min(answer.size(), velmora::kFeatureAnswerSize);
        expected = Parse(answer, seen);
    }
    if (!Same(learned, expected)) fuzz::Fail("ConnectCard learned another table than the answer holds");
    velmora::DisconnectCard();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t mode = in.Byte();
    uint8_t tag = in.Byte();
    uint32_t code = in.Long();
    size_t claimed = in.Word() % (fakepcsc::kMaxAnswer + 1);
    std::vector<uint8_t> answer = in.Sized(claimed);
    CheckParse(answer, tag, code);
    CheckConnect(mode, answer);
    return 0;
}
