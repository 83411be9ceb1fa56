// velmora-reader's core over a fake client: the fake answers each command
// the core sends with scripted lines, delivered as the network side would.
#include "config.h"
#include "session.h"
#include "wire.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::reader {
namespace {

using Lines = std::vector<std::string>;

struct FakeClient {
    Lines sent;
    Lines logs;
    int hangUps = 0;
    Session* session = nullptr;
    std::function<Lines(const std::string&)> answer = [](const std::string&) { return Lines{}; };

    static bool Send(void* context, const char* data, size_t length) {
        auto* self = static_cast<FakeClient*>(context);
        std::string line(data, length - 1);
        self->sent.push_back(line);
        for (const std::string& reply : self->answer(line)) {
            if (reply == "<close>") {
                self->session->Disconnected();
                return true;
            }
            self->session->Received(reply.c_str());
        }
        return true;
    }
    static void HangUp(void* context) {
        auto* self = static_cast<FakeClient*>(context);
        ++self->hangUps;
        self->session->Disconnected();
    }
    static void Log(void* context, int level, const char* text) {
        static_cast<FakeClient*>(context)->logs.push_back(std::to_string(level) + " " + text);
    }
    bool Logged(const std::string& part) const {
        for (const std::string& line : logs) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }
};

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = FakeClient{};
        options_.replyTimeoutMs = 100;
        options_.keyPollMs = 1;
        options_.pinSecondMs = 20;
        session_ = std::make_unique<Session>(Port{&fake_, FakeClient::Send, FakeClient::HangUp, FakeClient::Log}, options_);
        fake_.session = session_.get();
    }
    void Ready(const char* card = "200 CARD PRESENT") {
        session_->Connected("127.0.0.1:1");
        session_->Received(card);
        fake_.sent.clear();
    }
    std::string Transmit(const std::string& apdu, Result* result) {
        uint8_t in[600];
        size_t n = 0;
        EXPECT_TRUE(ReadHex(apdu.data(), apdu.size(), in, sizeof in, &n));
        uint8_t out[300];
        size_t got = 0;
        *result = session_->Transmit(1, in, n, out, sizeof out, &got);
        char hex[601];
        WriteHex(out, *result == Result::Ok ? got : 0, hex);
        return hex;
    }
    Options options_;
    FakeClient fake_;
    std::unique_ptr<Session> session_;
};

TEST(Wire, ControlCodesBothWays) {
    struct Case { uint32_t pcsc, wire; } cases[] = {
        {0x42000D48, 0x313520}, {0x42000D49, 0x313524}, {0x42000D4A, 0x313528},
        {0x42000D4D, 0x313534}, {0x42000D53, 0x31354C}, {0x42000001, 0x310004},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WireFromPcsc(c.pcsc), c.wire);
        EXPECT_EQ(PcscFromAny(c.wire), c.pcsc);
        EXPECT_EQ(PcscFromAny(c.pcsc), c.pcsc);  // a Linux client answers in this form already
    }
    for (uint32_t other : {0x00000001u, 0x313523u, 0x41FFFFFFu, 0x42004000u, 0x00320000u}) {
        EXPECT_EQ(WireFromPcsc(PcscFromAny(other)), other) << std::hex << other;
    }
}

TEST(Wire, FeatureAnswer) {
    // Windows form, pcsc-lite form, the client's own direct entry (dropped).
    const uint8_t in[] = {0x01, 4, 0x00, 0x31, 0x35, 0x24, 0x05, 4, 0x42, 0x00, 0x0D, 0xAD,
                          0x06, 4, 0x42, 0x00, 0x0D, 0xAE};
    uint8_t out[64];
    size_t n = 0;
    ASSERT_TRUE(TranslateFeatures(in, sizeof in, out, sizeof out, &n));
    char hex[129];
    WriteHex(out, n, hex);
    EXPECT_STREQ(hex, "010442000D49050442000DAD060442000E10");
    EXPECT_FALSE(TranslateFeatures(in, 7, out, sizeof out, &n));                  // not whole entries
    const uint8_t badLength[] = {0x01, 5, 0, 0, 0, 0};
    EXPECT_FALSE(TranslateFeatures(badLength, sizeof badLength, out, sizeof out, &n));
    EXPECT_FALSE(TranslateFeatures(in, sizeof in, out, 12, &n));                 // no room for ours
    EXPECT_TRUE(TranslateFeatures(in, 0, out, 6, &n));
    EXPECT_EQ(n, 6u);
}

TEST(Wire, RepliesAndLines) {
    struct Case { const char* line; const char* keyword; ReplyKind kind; const char* data; } cases[] = {
        {"200 TRANSMIT SUCCESS 9000", "TRANSMIT", ReplyKind::Success, "9000"},
        {"200 IOCTL SUCCESS", "IOCTL", ReplyKind::Success, ""},
        {"200 GET_ATTRIBUTE SUCCESS", "GET_ATTRIBUTE", ReplyKind::Success, ""},
        {"200 TRANSMIT NO_MEDIA", "TRANSMIT", ReplyKind::NoMedia, nullptr},
        {"500 SCardTransmit()=80100069: gone", "TRANSMIT", ReplyKind::Failed, nullptr},
        {"200 CARD PRESENT", "TRANSMIT", ReplyKind::Other, nullptr},
        {"200 TRANSMITX SUCCESS 90", "TRANSMIT", ReplyKind::Other, nullptr},
    };
    for (const Case& c : cases) {
        Reply reply = ParseReply(c.line, c.keyword);
        EXPECT_EQ(reply.kind, c.kind) << c.line;
        if (c.data != nullptr) {
            EXPECT_STREQ(reply.data, c.data) << c.line;
        }
    }
    EXPECT_EQ(Classify("EVENT CARD INSERTED"), LineKind::Inserted);
    EXPECT_EQ(Classify("EVENT CARD REMOVED"), LineKind::Removed);
    EXPECT_EQ(Classify("EVENT CARD SIDEWAYS"), LineKind::Other);
    EXPECT_EQ(Classify("2000 OK"), LineKind::Other);
    uint8_t bytes[4];
    size_t n = 0;
    for (const char* bad : {"9", "9G00", "90 0", "0102030405"}) {
        EXPECT_FALSE(ReadHex(bad, std::strlen(bad), bytes, sizeof bytes, &n)) << bad;
    }
    EXPECT_TRUE(ReadHex("a0Ff", 4, bytes, sizeof bytes, &n));
}

TEST(Wire, Config) {
    Config config;
    char error[200];
    ASSERT_TRUE(ParseConfig("127.0.0.1:9690", &config, error, sizeof error));
    EXPECT_EQ(config.port, 9690);
    EXPECT_EQ(config.options.replyTimeoutMs, 60000);
    ASSERT_TRUE(ParseConfig("\"0.0.0.0:9688 allow=10.0.0.2,10.0.0.3 timeout=2500\"", &config, error, sizeof error));
    EXPECT_EQ(config.address, 0u);
    EXPECT_EQ(config.options.replyTimeoutMs, 2500);
    EXPECT_TRUE(PeerAllowed(config, 0x0A000003));
    EXPECT_FALSE(PeerAllowed(config, 0x7F000001));
    EXPECT_TRUE(config.options.cache);
    ASSERT_TRUE(ParseConfig("\"127.0.0.1:9688 cache=off\"", &config, error, sizeof error));
    EXPECT_FALSE(config.options.cache);
    for (const char* bad : {"9688", "host.example:9688", "127.0.0.1:0", "127.0.0.1:70000", "\"127.0.0.1:1 speed=3\"",
                            "\"127.0.0.1:1 allow=nobody\"", "127.0.0.1:1:/no/such/file", "\"127.0.0.1:1 cache=no\""}) {
        Config other;
        EXPECT_FALSE(ParseConfig(bad, &other, error, sizeof error)) << bad;
    }
}

TEST(Wire, UnixConfig) {
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    const std::string fits = "/" + std::string(106, 'p');  // sun_path's 108 bytes with the terminator
    struct Case {
        std::string deviceName;
        std::string path;  // empty: refused
        int timeoutMs;
    } cases[] = {
        {"unix:/run/velmora.sock", "/run/velmora.sock", 60000},
        {"unix:$XDG_RUNTIME_DIR/velmora-reader.sock", "/run/user/1234/velmora-reader.sock", 60000},
        {"\"unix:${XDG_RUNTIME_DIR}/v.sock timeout=2500\"", "/run/user/1234/v.sock", 2500},
        {"unix:$XDG_RUNTIME_DIRX/v.sock", "", 0},  // another variable: not absolute
        {"unix:relative.sock", "", 0},
        {"unix:", "", 0},
        {"unix:" + fits, fits, 60000},
        {"unix:" + fits + "p", "", 0},                     // would be cut to another path
        {"\"unix:/run/v.sock allow=127.0.0.1\"", "", 0},  // addresses mean nothing here
        {"unix:/run/v.sock:/no/such/file", "", 0},
        {"unix:/run/a b.sock", "", 0},                                   // the blank starts options
        {"unix:/run/\x01\xff.sock", "/run/\x01\xff.sock", 60000},          // any other byte is the path's
        {"unix:" + std::string(600, '/'), "", 0},                        // past DEVICENAME's limit
    };
    for (const Case& c : cases) {
        Config config;
        char error[200] = {};
        bool ok = ParseConfig(c.deviceName.c_str(), &config, error, sizeof error);
        EXPECT_EQ(ok, !c.path.empty()) << c.deviceName << ": " << error;
        if (!ok) continue;
        EXPECT_EQ(std::string(config.unixPath), c.path) << c.deviceName;
        EXPECT_EQ(config.options.replyTimeoutMs, c.timeoutMs) << c.deviceName;
    }
    // A runtime directory that leaves no room for the name is refused, not cut.
    setenv("XDG_RUNTIME_DIR", ("/" + std::string(400, 'r')).c_str(), 1);
    Config config;
    char error[200];
    for (const char* deviceName : {"unix:$XDG_RUNTIME_DIR/v.sock", "unix:$XDG_RUNTIME_DIR"}) {
        EXPECT_FALSE(ParseConfig(deviceName, &config, error, sizeof error)) << deviceName;
        EXPECT_EQ(config.unixPath[0], '\0');
    }
    unsetenv("XDG_RUNTIME_DIR");
    char runtime[kUnixPathSize];
    RuntimeDirectory(runtime, sizeof runtime);
    EXPECT_EQ(std::string(runtime), "/run/user/" + std::to_string(geteuid()));
}

TEST_F(Core, GreetingThenCardAskedAgainUntilAnswered) {
    options_.greetingRetryMs = 0;
    SetUp();
    session_->Connected("127.0.0.1:1");
    EXPECT_EQ(fake_.sent, (Lines{"HELLO velmora-reader", "CARD"}));
    EXPECT_FALSE(session_->Present());
    session_->Tick();  // the client read both lines at once and dropped them
    EXPECT_EQ(fake_.sent.back(), "CARD");
    session_->Received("200 CARD PRESENT");
    EXPECT_TRUE(session_->Present());
    EXPECT_EQ(session_->Tick(), -1);
    session_->Received("200 CARD PRESENT");  // the answer to the first CARD, late
    EXPECT_TRUE(fake_.Logged("late answer to a repeated CARD"));
    session_->Received("200 TRANSMIT SUCCESS 9000");
    EXPECT_TRUE(fake_.Logged("reply without a request"));
}

TEST_F(Core, EventsBetweenCommandAndReplyAreNotTheReply) {
    Ready();
    fake_.answer = [](const std::string&) {
        return Lines{"EVENT CARD REMOVED", "200 CARD PRESENT", "EVENT CARD INSERTED", "200 TRANSMIT SUCCESS 9000"};
    };
    Result result;
    EXPECT_EQ(Transmit("00A4040000", &result), "9000");
    EXPECT_EQ(result, Result::Ok);
    EXPECT_EQ(fake_.sent, (Lines{"TRANSMIT T1 00A4040000"}));
    // A swap: pcscd sees the old card go once, then the new one.
    EXPECT_FALSE(session_->Present());
    EXPECT_TRUE(session_->WaitForChange(0));
    EXPECT_TRUE(session_->Present());
}

TEST_F(Core, ClientFaultsFailTheCommandAndKeepTheConnection) {
    struct Case { Lines replies; Result result; const char* logged; int hangUps; } cases[] = {
        {{"200 TRANSMIT SUCCESS 9X00"}, Result::Failed, "not hex", 0},
        {{"200 TRANSMIT SUCCESS 900"}, Result::Failed, "not hex", 0},
        {{"garbage \x01"}, Result::Failed, "unexpected line from the client: garbage .", 0},
        {{"500 SCardTransmit()=80100069: card removed"}, Result::Failed, "80100069", 0},
        {{"200 TRANSMIT NO_MEDIA"}, Result::NoCard, nullptr, 0},
        {{}, Result::Failed, "no reply to TRANSMIT within 100 ms", 1},
        {{"<close>"}, Result::Failed, "disconnected", 0},
    };
    for (const Case& c : cases) {
        SetUp();
        Ready();
        fake_.answer = [&](const std::string&) { return c.replies; };
        Result result;
        Transmit("0084000008", &result);
        EXPECT_EQ(result, c.result) << c.replies.size();
        if (c.logged != nullptr) {
            EXPECT_TRUE(fake_.Logged(c.logged)) << c.logged;
        }
        EXPECT_EQ(fake_.hangUps, c.hangUps);
    }
}

TEST_F(Core, OverlongLineFailsTheWaitingCommand) {
    Ready();
    fake_.answer = [this](const std::string&) {
        session_->Overlong();
        return Lines{};
    };
    Result result;
    Transmit("00", &result);
    EXPECT_EQ(result, Result::Failed);
    EXPECT_TRUE(fake_.Logged("line over 999 bytes"));
    fake_.answer = [](const std::string&) { return Lines{"200 TRANSMIT SUCCESS 6D00"}; };
    EXPECT_EQ(Transmit("00", &result), "6D00");
}

TEST_F(Core, LineLimits) {
    Ready();
    // 301 bytes do not fit the test's 300-byte buffer: refused, not cut.
    fake_.answer = [](const std::string&) { return Lines{"200 TRANSMIT SUCCESS " + std::string(2 * 301, 'A')}; };
    Result result;
    Transmit(std::string(2 * 493, '0'), &result);
    EXPECT_EQ(fake_.sent.back().size(), 998u);  // the longest APDU a command line holds
    EXPECT_EQ(result, Result::Small);
}

TEST_F(Core, TooLongApduIsNeverSentCut) {
    Ready();
    Result result;
    Transmit(std::string(2 * 494, '0'), &result);
    EXPECT_EQ(result, Result::TooLong);
    EXPECT_TRUE(fake_.sent.empty());
    EXPECT_TRUE(fake_.Logged("at most 493"));
}

TEST_F(Core, ControlCodesGoInTheWireForm) {
    Ready();
    fake_.answer = [](const std::string& line) {
        return Lines{line.rfind("IOCTL 313520", 0) == 0 ? "200 IOCTL SUCCESS 01040031352406044200FFFF"
                                                        : "200 IOCTL SUCCESS 01"};
    };
    uint8_t in[] = {0x01};
    uint8_t out[64];
    size_t n = 0;
    EXPECT_EQ(session_->Control(0x42000DAD, in, 1, out, sizeof out, &n), Result::Ok);
    EXPECT_EQ(fake_.sent.back(), "IOCTL 3136B4 01");
    EXPECT_EQ(session_->Control(0x42000D48, nullptr, 0, out, sizeof out, &n), Result::Ok);
    EXPECT_EQ(fake_.sent.back(), "IOCTL 313520");
    char hex[129];
    WriteHex(out, n, hex);
    EXPECT_STREQ(hex, "010442000D49060442000E10");
}

TEST_F(Core, NoClientMeansNoCard) {
    Result result;
    Transmit("00", &result);
    EXPECT_EQ(result, Result::NoCard);
    Ready();
    session_->Disconnected();
    EXPECT_FALSE(session_->Present());
    Transmit("00", &result);
    EXPECT_EQ(result, Result::NoCard);
    EXPECT_TRUE(fake_.sent.empty());
}

// PIN verify structure: time-out, then the APDU template after 19 bytes.
std::vector<uint8_t> Structure(uint8_t timeOut, uint8_t ins = 0x20) {
    std::vector<uint8_t> s = {timeOut, 0, 0x82, 0x08, 0, 8, 4, 2, 1, 0x09, 0x04, 0, 0, 0, 0, 13, 0, 0, 0,
                              0x00, ins, 0x00, 0x01, 0x08};
    s.insert(s.end(), 8, 0xFF);
    return s;
}

TEST_F(Core, VerifyPinDirectSequences) {
    struct Case { const char* name; Lines keys; const char* finish; uint8_t timeOut; const char* sw; bool aborted; } cases[] = {
        {"confirmed", {"00", "2B", "2B", "0D"}, "200 IOCTL SUCCESS 9000", 5, "9000", false},
        {"wrong PIN", {"2B", "0D"}, "200 IOCTL SUCCESS 63C2", 5, "63C2", false},
        {"dialog closed", {"0D"}, "500 SCardControl()=80100012: cancelled", 5, "6401", false},
        {"pad cancel", {"1B"}, "200 IOCTL SUCCESS 6401", 5, "6401", false},
        {"nobody finishes", {"00"}, "", 1, "6400", true},
    };
    for (const Case& c : cases) {
        SetUp();
        Ready();
        size_t polls = 0;
        fake_.answer = [&](const std::string& line) {
            if (line.rfind("IOCTL 313524 ", 0) == 0) return Lines{"200 IOCTL SUCCESS"};
            if (line == "IOCTL 313534") return Lines{"200 IOCTL SUCCESS " + c.keys[std::min(polls++, c.keys.size() - 1)]};
            if (line == "IOCTL 313528") return Lines{c.finish};
            if (line == "IOCTL 31354C") return Lines{"200 IOCTL SUCCESS"};
            return Lines{"500 unexpected"};
        };
        std::vector<uint8_t> in = Structure(c.timeOut);
        uint8_t out[8];
        size_t n = 0;
        ASSERT_EQ(session_->Control(PcscCtlCode(kFunctionVerifyPinDirect), in.data(), in.size(), out, sizeof out, &n),
                  Result::Ok) << c.name;
        char hex[17];
        WriteHex(out, n, hex);
        EXPECT_STREQ(hex, c.sw) << c.name;
        EXPECT_EQ(fake_.sent.front().substr(0, 13), "IOCTL 313524 ") << c.name;
        EXPECT_EQ(fake_.sent.back(), c.aborted ? "IOCTL 31354C" : "IOCTL 313528") << c.name;
    }
}

TEST_F(Core, VerifyPinDirectRefusesWhatIsNotAVerify) {
    Ready();
    uint8_t out[8];
    size_t n = 0;
    for (std::vector<uint8_t> in : {Structure(5, 0x22), std::vector<uint8_t>(20, 0)}) {
        EXPECT_EQ(session_->Control(PcscCtlCode(kFunctionVerifyPinDirect), in.data(), in.size(), out, sizeof out, &n),
                  Result::Failed);
    }
    auto cut = Structure(5);
    cut.pop_back();  // ulDataLength says one byte more
    EXPECT_EQ(session_->Control(PcscCtlCode(kFunctionVerifyPinDirect), cut.data(), cut.size(), out, sizeof out, &n),
              Result::Failed);
    EXPECT_TRUE(fake_.sent.empty());
}

TEST_F(Core, ReferenceDataNeverLogged) {
    Ready();
    fake_.answer = [](const std::string&) { return Lines{"200 TRANSMIT SUCCESS 9000"}; };
    Result result;
    Transmit("002000010831323334FFFFFFFF", &result);
    Transmit("00A4040002A0B1", &result);
    // A program may call the PIN-pad codes itself; their verify structure's
    // template may hold the PIN.
    fake_.answer = [](const std::string&) { return Lines{"200 IOCTL SUCCESS "}; };
    const uint8_t structure[] = {0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x01,
                                 0x04, 0x35, 0x36, 0x37, 0x38};
    uint8_t out[16];
    size_t n = 0;
    for (uint32_t code : {0x42000D49u, 0x313524u}) {
        session_->Control(code, structure, sizeof structure, out, sizeof out, &n);
    }
    EXPECT_EQ(fake_.sent.size(), 4u);
    EXPECT_FALSE(fake_.Logged("31323334"));
    EXPECT_FALSE(fake_.Logged("35363738"));
    EXPECT_TRUE(fake_.Logged("A0B1"));
}

} // namespace
} // namespace velmora::reader

namespace velmora::reader {
namespace {

TEST_F(Core, PowerUpAsksForTheAtrEachTime) {
    options_.cache = false;
    session_ = std::make_unique<Session>(Port{&fake_, FakeClient::Send, FakeClient::HangUp, FakeClient::Log}, options_);
    fake_.session = session_.get();
    struct Case { const char* reply; Result result; } cases[] = {
        {"200 GET_ATTRIBUTE SUCCESS 3B8001800101", Result::Ok},
        {"200 GET_ATTRIBUTE NO_MEDIA", Result::NoCard},
        {"200 GET_ATTRIBUTE SUCCESS ", Result::NoCard},  // an empty ATR: no card to power
        {"200 GET_ATTRIBUTE SUCCESS 3B", Result::Ok},
        {"500 SCardGetAttrib()=80100016", Result::Failed},
    };
    Ready();
    uint8_t atr[kMaxAtr];
    size_t n = 0;
    for (const Case& c : cases) {
        fake_.answer = [&](const std::string&) { return Lines{c.reply}; };
        EXPECT_EQ(session_->PowerUp(atr, &n), c.result) << c.reply;
    }
    EXPECT_TRUE(session_->CachedAtr(atr, &n));
    EXPECT_EQ(n, 1u);
    const std::string tooLong = "200 GET_ATTRIBUTE SUCCESS " + std::string(2 * (kMaxAtr + 1), 'A');
    fake_.answer = [&](const std::string&) { return Lines{tooLong}; };
    EXPECT_EQ(session_->PowerUp(atr, &n), Result::Failed);
    EXPECT_EQ(fake_.sent, Lines(6, "GET_ATTRIBUTE ATR_STRING"));
    session_->Received("EVENT CARD REMOVED");  // the cached ATR goes with the card
    EXPECT_FALSE(session_->CachedAtr(atr, &n));
}

// What cannot change costs the network nothing the second time: the ATR
// until a card event, the feature answer and vendor attributes until the
// client's connection ends. Failures and other attributes are asked again.
TEST_F(Core, WhatCannotChangeIsAskedOnce) {
    struct Step { const char* name; std::function<void(Session&)> between; int asked; } steps[] = {
        {"again", [](Session&) {}, 0},
        {"card removed and back", [](Session& s) {
             s.Received("EVENT CARD REMOVED");
             s.Received("EVENT CARD INSERTED");
         }, 1},
        {"card swapped", [](Session& s) { s.Received("EVENT CARD INSERTED"); }, 1},
        {"new connection", [](Session& s) {
             s.Disconnected();
             s.Connected("127.0.0.1:2");
             s.Received("200 CARD PRESENT");
         }, 3},
    };
    fake_.answer = [](const std::string& line) {
        if (line == "GET_ATTRIBUTE ATR_STRING") return Lines{"200 GET_ATTRIBUTE SUCCESS 3B8001800101"};
        if (line == "GET_ATTRIBUTE VENDOR_NAME") return Lines{"200 GET_ATTRIBUTE SUCCESS 4163"};
        if (line == "GET_ATTRIBUTE VENDOR_IFD_VERSION") return Lines{"500 SCardGetAttrib()=80100022"};
        if (line == "GET_ATTRIBUTE CURRENT_CLK") return Lines{"200 GET_ATTRIBUTE SUCCESS 01"};
        return Lines{"200 IOCTL SUCCESS 010400313524"};
    };
    uint8_t out[300];
    size_t n = 0;
    auto all = [&](Session& s) {
        s.PowerUp(out, &n);
        s.Control(0x42000D48, nullptr, 0, out, sizeof out, &n);
        s.Attribute("VENDOR_NAME", out, sizeof out, &n);
    };
    Ready();
    all(*session_);
    EXPECT_EQ(fake_.sent.size(), 3u);
    for (const Step& step : steps) {
        step.between(*session_);
        fake_.sent.clear();
        all(*session_);
        EXPECT_EQ(fake_.sent.size(), static_cast<size_t>(step.asked)) << step.name;
    }
    for (const char* name : {"VENDOR_IFD_VERSION", "CURRENT_CLK"}) {
        fake_.sent.clear();
        session_->Attribute(name, out, sizeof out, &n);
        session_->Attribute(name, out, sizeof out, &n);
        EXPECT_EQ(fake_.sent.size(), 2u) << name;
    }
}

// An ATR that arrives after the card changed belongs to the card that went.
TEST_F(Core, AtrAnsweredAcrossACardEventIsNotKept) {
    Ready();
    fake_.answer = [](const std::string&) {
        return Lines{"EVENT CARD INSERTED", "200 GET_ATTRIBUTE SUCCESS 3B8001800101"};
    };
    uint8_t atr[kMaxAtr];
    size_t n = 0;
    EXPECT_EQ(session_->PowerUp(atr, &n), Result::Ok);
    EXPECT_EQ(session_->PowerUp(atr, &n), Result::Ok);
    EXPECT_EQ(fake_.sent.size(), 2u);
}

} // namespace
} // namespace velmora::reader

namespace velmora::reader {
namespace {

TEST(Wire, CommandLineRefusesWhatDoesNotFit) {
    static const uint8_t kBytes[20000] = {};
    struct Case { const char* prefix; size_t bytes; bool fits; } cases[] = {
        {"TRANSMIT T1 ", 493, true}, {"TRANSMIT T1 ", 494, false}, {"IOCTL 313524 ", 492, true},
        {"IOCTL 313524 ", 493, false}, {"IOCTL 313524 ", 600, false}, {"IOCTL 313524 ", 4000, false},
        {"IOCTL 313524 ", 20000, false}, {"", 499, true}, {"", 500, false},
    };
    for (const Case& c : cases) {
        CommandLine line;
        line.Text(c.prefix).Bytes(kBytes, c.bytes);
        EXPECT_EQ(line.Fits(), c.fits) << c.prefix << c.bytes;
        EXPECT_EQ(line.Needed(), std::strlen(c.prefix) + 2 * c.bytes);
        EXPECT_LE(line.Length(), kCommandMax);
        EXPECT_EQ(std::strlen(line.Line()), line.Length());
    }
    CommandLine huge;  // a length no buffer has: refused before any doubling wraps
    huge.Text("IOCTL ").Bytes(kBytes, SIZE_MAX / 2 + 2).Text("X");
    EXPECT_FALSE(huge.Fits());
    EXPECT_STREQ(huge.Line(), "IOCTL ");
    CommandLine code;
    EXPECT_STREQ(code.Text("IOCTL ").Number(0x313520).Line(), "IOCTL 313520");
}

TEST(Wire, WhichReplyAnswersWhichCommand) {
    struct Case { const char* line; const char* command; const char* keyword; bool answers; } cases[] = {
        {"200 TRANSMIT SUCCESS 9000", "TRANSMIT T1 00A4", "TRANSMIT", true},
        {"500 SCardTransmit()=80100069: removed", "TRANSMIT T1 00A4", "TRANSMIT", true},
        {"500 command has invalid character 0x0A at position 4", "TRANSMIT T1 00", "TRANSMIT", true},
        {"500 invalid command 'CARD'", "GET_ATTRIBUTE ATR_STRING", "GET_ATTRIBUTE", false},
        {"500 invalid command 'GET_ATTRIBUTE ATR_ST'", "GET_ATTRIBUTE ATR_STRING", "GET_ATTRIBUTE", true},
        {"500 invalid command 'GET_ATTRIBUTE'", "GET_ATTRIBUTE ATR_STRING", "GET_ATTRIBUTE", false},
        {"500 invalid command 'RECONNECT RESET'", "RECONNECT RESET", "RECONNECT", true},
        {"500 invalid command 'RECONNECT RESET'", "RECONNECT UNPOWER", "RECONNECT", false},
        {"500 invalid command 'CARD", "CARD", "CARD", false},
        {"200 CARD PRESENT", "GET_ATTRIBUTE ATR_STRING", "GET_ATTRIBUTE", false},
        {"200 STATE SUCCESS SPECIFIC", "STATE", "STATE", true},
    };
    for (const Case& c : cases) EXPECT_EQ(AnswersCommand(c.line, c.command, c.keyword), c.answers) << c.line;
}

TEST(Wire, KeepaliveAndProbeOptions) {
    Config config;
    char error[200];
    EXPECT_EQ(config.keepIdleS + config.keepIntervalS * config.keepCount, 25);  // found within ~30 s
    ASSERT_TRUE(ParseConfig("\"127.0.0.1:1 keepalive=2,1,3 probe=300\"", &config, error, sizeof error)) << error;
    EXPECT_EQ(config.keepIdleS, 2);
    EXPECT_EQ(config.keepIntervalS, 1);
    EXPECT_EQ(config.keepCount, 3);
    EXPECT_EQ(config.probeMs, 300);
    for (const char* bad : {"\"127.0.0.1:1 keepalive=2,1\"", "\"127.0.0.1:1 keepalive=0,1,1\"",
                            "\"127.0.0.1:1 keepalive=1,1,1x\"", "\"127.0.0.1:1 probe=5\""}) {
        Config other;
        EXPECT_FALSE(ParseConfig(bad, &other, error, sizeof error)) << bad;
    }
}

TEST_F(Core, HostileLengthsAreRefusedWithOneLogLineAndNothingSent) {
    static const uint8_t kZeros[20000] = {};
    Ready();
    fake_.answer = [](const std::string&) { return Lines{"200 IOCTL SUCCESS 9000"}; };
    for (size_t length : {493u, 494u, 600u, 4000u, 20000u}) {
        // A VERIFY template whose ulDataLength matches the length handed in.
        std::vector<uint8_t> in(kZeros, kZeros + length);
        const uint32_t data = static_cast<uint32_t>(length - 19);
        std::memcpy(in.data() + 15, &data, 4);
        in[20] = 0x20;
        uint8_t out[300];
        size_t n = 0;
        for (uint32_t code : {PcscCtlCode(kFunctionVerifyPinDirect), PcscCtlCode(3500), 0x00313520u}) {
            fake_.logs.clear();
            EXPECT_EQ(session_->Control(code, in.data(), length, out, sizeof out, &n), Result::TooLong) << length;
            EXPECT_EQ(fake_.logs.size(), 1u) << length;
        }
        if (length == 493) continue;  // still fits a TRANSMIT line
        fake_.logs.clear();
        EXPECT_EQ(session_->Transmit(1, kZeros, length, out, sizeof out, &n), Result::TooLong);
        EXPECT_EQ(fake_.logs.size(), 1u);
    }
    EXPECT_TRUE(fake_.sent.empty());
    uint8_t out[300];
    size_t n = 0;
    EXPECT_EQ(session_->Control(PcscCtlCode(3500), kZeros, 492, out, sizeof out, &n), Result::Ok);  // the longest
    EXPECT_EQ(fake_.sent.back(), "IOCTL 3136B0 " + std::string(2 * 492, '0'));
}

TEST_F(Core, ResetAndPowerDownReachTheCardOrFail) {
    struct Case { const char* reply; Result reset; Result powerDown; const char* logged; } cases[] = {
        {"200 RECONNECT SUCCESS", Result::Ok, Result::Ok, nullptr},
        {"200 RECONNECT NO_MEDIA", Result::NoCard, Result::NoCard, nullptr},
        {"500 SCardReconnect()=8010000B: sharing", Result::Failed, Result::Failed, "failed at the workstation"},
        {"500 invalid command 'RECONNECT RESET'", Result::Failed, Result::Failed, "cannot reset"},
    };
    for (const Case& c : cases) {
        SetUp();
        Ready();
        fake_.answer = [&](const std::string& line) {
            if (line == "GET_ATTRIBUTE ATR_STRING") return Lines{"200 GET_ATTRIBUTE SUCCESS 3B00"};
            return Lines{c.reply};
        };
        uint8_t atr[kMaxAtr];
        size_t n = 0;
        EXPECT_EQ(session_->Reset(atr, &n), c.reset) << c.reply;
        EXPECT_EQ(session_->PowerDown(), c.powerDown) << c.reply;
        EXPECT_EQ(fake_.sent.front(), "RECONNECT RESET");
        if (c.reset == Result::Ok) {
            EXPECT_EQ(fake_.sent, (Lines{"RECONNECT RESET", "GET_ATTRIBUTE ATR_STRING", "RECONNECT UNPOWER"}));
            EXPECT_FALSE(session_->CachedAtr(atr, &n));  // powered down
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(fake_.Logged(c.logged)) << c.reply;
        }
        EXPECT_EQ(fake_.hangUps, 0) << c.reply;
    }
    // A client without the extension is not asked again on this connection.
    EXPECT_EQ(fake_.sent, (Lines{"RECONNECT RESET"}));
}

TEST_F(Core, MergedReadsInTheHandshakeNeverLeaveTheCardUnseen) {
    options_.greetingRetryMs = 0;
    SetUp();
    session_->Connected("127.0.0.1:1");
    EXPECT_EQ(fake_.sent, (Lines{"HELLO velmora-reader", "CARD"}));
    session_->Tick();  // quiet: CARD again, two unanswered
    // The client read both CARDs at once: one 500 that answers neither.
    session_->Received("500 command has invalid character 0x0A at position 4");
    EXPECT_FALSE(session_->Present());
    session_->Tick();
    EXPECT_EQ(fake_.sent.back(), "CARD");
    session_->Received("200 CARD PRESENT");
    EXPECT_TRUE(session_->Present());
    // A 500 quoting other text answers nothing: the ATR's real answer counts.
    fake_.answer = [](const std::string&) {
        return Lines{"500 invalid command 'CARD'", "200 GET_ATTRIBUTE SUCCESS 3B00"};
    };
    uint8_t atr[kMaxAtr];
    size_t n = 0;
    EXPECT_EQ(session_->PowerUp(atr, &n), Result::Ok);
    EXPECT_EQ(n, 2u);
}

TEST_F(Core, AStoppedWaitDoesNotEndTheNextOnes) {
    Ready();
    session_->WaitForChange(0);  // takes the connection's own change
    session_->StopWaiting();
    EXPECT_TRUE(session_->WaitForChange(1000));  // stopped at once
    EXPECT_FALSE(session_->WaitForChange(30));   // the next wait waits
    EXPECT_FALSE(session_->WaitForChange(30));
}

} // namespace
} // namespace velmora::reader
