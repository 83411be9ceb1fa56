#include "app/settings.h"
#include "app/support_log.h"
#include "client_fixture.h"
#include "wire/secret.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Redacted(const std::string& text) {
    char out[velmora::kSupportLineSize];
    velmora::RedactPins(text.c_str(), out, sizeof out);
    return out;
}

TEST(RedactPins, VerifyTypeApdusKeepOnlyTheirHeader) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        // VERIFY of PIN 1234 in an 8-byte ASCII block
        {"TRANSMIT T1 00200081083132333434FFFFFFFF", "TRANSMIT T1 0020008108**"},
        {"TRANSMIT T0 0020008108313233343FFFFFFF => 200 TRANSMIT SUCCESS 9000",
         "TRANSMIT T0 0020008108** => 200 TRANSMIT SUCCESS 9000"},
        {"TRANSMIT T1 00210081083132333434FFFFFFFF", "TRANSMIT T1 0021008108**"},
        // CHANGE REFERENCE DATA with old and new PIN, RESET RETRY COUNTER with PUK
        {"TRANSMIT T1 0024000110313233343536373839303132333435", "TRANSMIT T1 0024000110**"},
        {"TRANSMIT T1 002c0081083132333435363738", "TRANSMIT T1 002c008108**"},
        {"Datenpaket 3: TRANSMIT T1 00200081083132333434FFFFFFFF\nAntwortpaket: 200 TRANSMIT SUCCESS 9000",
         "Datenpaket 3: TRANSMIT T1 0020008108**\nAntwortpaket: 200 TRANSMIT SUCCESS 9000"},
        // the PIN-pad bridge's structure may carry the verify APDU and more
        {"IOCTL 313524 0000890147040904020000000000000D000000002000810831323334FFFFFFFF",
         "IOCTL 313524 **"},
        {"IOCTL 313528", "IOCTL 313528"},
        // left alone: other APDUs, a VERIFY asking for its retries, other codes
        {"TRANSMIT T1 00A4040007A0000000041010", "TRANSMIT T1 00A4040007A0000000041010"},
        {"TRANSMIT T1 0020008100", "TRANSMIT T1 0020008100"},
        {"TRANSMIT T1 0084000008", "TRANSMIT T1 0084000008"},
        {"IOCTL 42000DAC 0102", "IOCTL 42000DAC 0102"},
        {"TRANSMIT T1 00", "TRANSMIT T1 00"},
        {"TRANSMIT T1 ", "TRANSMIT T1 "},
        {"IOCTL ", "IOCTL "},
    };
    for (const Case& c : cases) EXPECT_EQ(Redacted(c.in), c.out) << c.in;
}

bool ShowsPin(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text.find("3132") != std::string::npos;
}

using InterpreterAndLog = CoreTest;

// Whatever spelling the interpreter carries out, the log reads the line the
// same way and hides the PIN; lines it refuses lose their PIN all the same.
TEST_F(InterpreterAndLog, PinIsHiddenInEverySpellingTheInterpreterTakes) {
    struct Case {
        const char* line;
        bool carriedOut;
    } cases[] = {
        {"TRANSMIT T1 002000810831323334FFFFFFFF", true},
        {"transmit t1 002000810831323334ffffffff", true},
        {"Transmit T1 002000810831323334FFFFFFFF", true},
        {"TRANSMIT t0 002000810831323334FFFFFFFF", true},
        {"TRANSMIT T1  002000810831323334FFFFFFFF", true},
        {"TRANSMIT T1      002000810831323334FFFFFFFF", true},
        {"TRANSMIT T1002000810831323334FFFFFFFF", true},
        {"TRANSMIT T1 002000810831323334FFFFFFFF3", true},
        {"TRANSMIT T1 0021008104 1 2 3 4", true},  // a blank and a digit read as one byte
        {"TRANSMIT T1 002400011031323334353637383132333435363738", true},
        {"TRANSMIT T1 002C0081083132333435363738", true},
        {"TRANSMIT T1 002D0081083132333435363738", true},
        {"TRANSMIT T1\t002000810831323334FFFFFFFF", false},
        {"TRANSMIT T2 002000810831323334FFFFFFFF", false},
        {"TRANSMIT  T1 002000810831323334FFFFFFFF", false},
        {"transmit\tt1 002000810831323334FFFFFFFF", false},
        {"TRANSMIT T1 0020 008108 31323334FFFFFFFF", true},  // five bytes sent, the rest cut off
    };
    const uint8_t ok[] = {0x90, 0x00};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        OpenReader(true);
        fakepcsc::SetTransmitAnswer(ok, sizeof ok);
        const int before = fakepcsc::Seen().transmits;
        std::string reply = Run(c.line);
        EXPECT_EQ(fakepcsc::Seen().transmits - before, c.carriedOut ? 1 : 0) << reply;
        if (c.carriedOut) {
            EXPECT_TRUE(velmora::InsCarriesPin(fakepcsc::Seen().lastSent[1]));
        }
        std::string logged = Redacted(std::string("Datenpaket 2: ") + c.line + "\nAntwortpaket: " + reply);
        EXPECT_FALSE(ShowsPin(logged)) << logged;
        EXPECT_NE(logged.find("**"), std::string::npos) << logged;
        velmora::DisconnectCard();
    }
}

TEST(RedactPins, EveryPinPadIoctlLosesItsInput) {
    const std::string structure = "0000820804080400000000000000000D00000000200081083132333435FFFFFF";
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"IOCTL 313524 " + structure, "IOCTL 313524 **"},
        {"ioctl 313524 " + structure, "ioctl 313524 **"},
        {"IOCTL 0x313524 " + structure, "IOCTL 0x313524 **"},
        {"IOCTL  00313524  " + structure, "IOCTL  00313524  **"},
        {"IOCTL 313528 " + structure, "IOCTL 313528 **"},
        {"IOCTL 313534 " + structure, "IOCTL 313534 **"},
        {"IOCTL 31354c " + structure, "IOCTL 31354c **"},
        {"IOCTL 313528", "IOCTL 313528"},
        {"IOCTL 313520 0102", "IOCTL 313520 0102"},  // not the bridge's
    };
    for (const Case& c : cases) EXPECT_EQ(Redacted(c.in), c.out) << c.in;
}

TEST(RedactPins, CutToTheBufferAndTerminated) {
    std::string apdu = "TRANSMIT T1 00A4" + std::string(3000, 'A');
    char out[64];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(velmora::RedactPins(apdu.c_str(), out, sizeof out), 63u);
    EXPECT_EQ(out[63], '\0');
    char tiny[12];
    velmora::RedactPins("TRANSMIT T1 00200081083132333434", tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "TRANSMIT T1");
}

class SupportLogTest : public ClientCoreTest {
protected:
    std::string dir;
    std::string path;

    void SetUp() override {
        ClientCoreTest::SetUp();
        char pattern[] = "/tmp/velmora-log-test.XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/support.log";
    }
    void TearDown() override {
        ClientCoreTest::TearDown();
        std::remove(path.c_str());
        std::remove((path + ".1").c_str());
        rmdir(dir.c_str());
    }
    void UseLog(const std::string& file) {
        velmora::Settings s = velmora::DefaultSettings();
        velmora::ApplySetting(&s, "LogFile", file.c_str());
        velmora::UseSettings(s);
    }
    std::string Read(const std::string& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void Receive(const std::string& data) {
        network.incoming.push_back(data);
        velmora::LinkSocketEvent(false, 0);
    }
};

TEST_F(SupportLogTest, TheExchangeWithStampsAndThePinHidden) {
    UseLog(path);
    OpenReader(true);
    fakepcsc::SetTransmitAnswer(reinterpret_cast<const uint8_t*>("\x90\x00"), 2);
    ConnectServer();
    Receive("HELLO server");
    Receive("TRANSMIT T1 00200081083132333434FFFFFFFF");
    velmora::LogInsert(0, "EVENT CARD REMOVED\r\n");
    std::string log = Read(path);
    EXPECT_EQ(log.find("3132"), std::string::npos) << log;
    for (const char* line : {" S Verbindung erfolgreich aufgebaut.\n", " P HELLO server\n",
                             " P TRANSMIT T1 0020008108** => 200 TRANSMIT SUCCESS 9000\n",
                             " S Datenpaket 2: TRANSMIT T1 0020008108** | Antwortpaket: 200 TRANSMIT",
                             " P EVENT CARD REMOVED\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    // Every entry starts with a time stamp: "YYYY-MM-DD HH:MM:SS ".
    std::istringstream lines(log);
    for (std::string entry; std::getline(lines, entry);) {
        ASSERT_GT(entry.size(), 22u);
        EXPECT_EQ(entry[4], '-');
        EXPECT_EQ(entry[13], ':');
        EXPECT_EQ(entry[19], ' ');
    }
    // The dialog's own log is not changed by the support log.
    EXPECT_NE(dialog.log.find("31323334"), std::string::npos);
}

TEST_F(SupportLogTest, CappedWithOneOlderCopy) {
    UseLog(path);
    std::string text(1000, 'x');
    for (int i = 0; i < 2500; ++i) velmora::ShowStatus(&dialog, "%d %s", i, text.c_str());
    std::ifstream current(path, std::ios::ate);
    std::ifstream older(path + ".1", std::ios::ate);
    EXPECT_LE(static_cast<long>(current.tellg()), velmora::kSupportLogCap);
    EXPECT_LE(static_cast<long>(older.tellg()), velmora::kSupportLogCap);
    EXPECT_GT(static_cast<long>(older.tellg()), velmora::kSupportLogCap - 2000);
    EXPECT_NE(Read(path).find(" S 2499 xxx"), std::string::npos);
}

TEST_F(SupportLogTest, UnwritableFileIsReportedOnceAndTheClientGoesOn) {
    UseLog(dir + "/missing/dir/support.log");
    EXPECT_FALSE(velmora::SupportLogOn());
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.status, "Protokolldatei '" + dir + "/missing/dir/support.log' kann nicht geschrieben werden");
    int writes = dialog.statusWrites;
    velmora::ConnectionDialogOpened(&dialog);
    EXPECT_EQ(dialog.statusWrites, writes);
    ConnectServer();
    Receive("HELLO");
    Receive("CARD");
    EXPECT_EQ(network.sent, "200 CARD ABSENT\n");
}

TEST_F(SupportLogTest, AFileThatFailsLaterSaysSoOnceAndStaysInView) {
    // A directory where the older copy goes: the rotation cannot happen.
    std::string blocker = path + ".1";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((blocker + "/x").c_str(), 0700), 0);
    UseLog(path);
    ASSERT_TRUE(velmora::SupportLogOn());
    std::string text(1000, 'x');
    for (int i = 0; i < 1100 && velmora::SupportLogOn(); ++i) velmora::ShowStatus(&dialog, "%s", text.c_str());
    rmdir((blocker + "/x").c_str());
    rmdir(blocker.c_str());
    EXPECT_FALSE(velmora::SupportLogOn());
    EXPECT_EQ(dialog.status, "Protokolldatei '" + path + "' kann nicht geschrieben werden");
    velmora::ShowStatus(&dialog, "next");
    EXPECT_EQ(dialog.status, "next");
}

} // namespace
