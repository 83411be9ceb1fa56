// The real Qt connection dialog, offscreen, over the fake reader and a fake
// network: what the user sees in every link and reader state.
#include "../unit/fakes.h"
#include "fake_pcsc.h"
#include "protocol/command.h"
#include "reader/card.h"
#include "reader/readers.h"
#include "ui/connection_dialog.h"
#include "ui/cp1252.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using velmora::qt::ConnectionDialog;

class QtDialogTest : public ::testing::Test {
protected:
    FakeNetwork network;
    FakeShell shell;
    ConnectionDialog* dialog = nullptr;
    int reader = 0;

    void SetUp() override {
        fakepcsc::Reset();
        velmora::g_card = velmora::CardAccessState{};
        reader = fakepcsc::AddReader("Sim Reader 0");
        velmora::ClientStart(&shell, &network);
        dialog = new ConnectionDialog(true);
        dialog->show();
        dialog->Start();
        velmora::SetConnectionDialog(dialog);
    }
    void TearDown() override {
        velmora::ClientShutdown();
        delete dialog;
        velmora::ClientStart(nullptr, nullptr);
    }

    template <typename T>
    T* Child(const char* name) { return dialog->findChild<T*>(QString::fromLatin1(name)); }
    QPushButton* Button(const char* text) {
        for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
            if (b->text() == QString::fromLatin1(text)) return b;
        }
        return nullptr;
    }
    void Settle() { QCoreApplication::processEvents(); }
    // Enabled state of host, port, Connect, Disconnect, list, Open, Close.
    std::string Enabled() {
        std::string s;
        for (QWidget* w : std::initializer_list<QWidget*>{
                 Child<QLineEdit>("host"), Child<QLineEdit>("port"), Button("Connect"),
                 Button("Disconnect"), Child<QComboBox>("readers"), Button("Open"), Button("Close")}) {
            s += w->isEnabled() ? '1' : '0';
        }
        return s;
    }
};

TEST_F(QtDialogTest, ControlsFollowTheLinkState) {
    Settle();  // the queued auto-connect runs: lookup pending
    EXPECT_EQ(velmora::g_link.state, 1);
    EXPECT_EQ(Enabled().substr(0, 4), "0000");
    velmora::HostEntry entry{};
    velmora::LinkLookupDone(0, &entry);
    EXPECT_EQ(Enabled().substr(0, 4), "0000");  // connecting
    velmora::LinkConnectDone(0);
    EXPECT_EQ(Enabled().substr(0, 4), "0001");  // connected
    QTest::mouseClick(Button("Disconnect"), Qt::LeftButton);
    EXPECT_EQ(Enabled().substr(0, 4), "1110");
    EXPECT_EQ(dialog->StatusText(), QStringLiteral("Verbindung geschlossen"));
    Child<QLineEdit>("port")->setText(QStringLiteral("70000"));
    EXPECT_EQ(Enabled().substr(0, 4), "1100");
    Child<QLineEdit>("port")->setText(QStringLiteral("1"));
    Child<QLineEdit>("host")->clear();
    EXPECT_EQ(Enabled().substr(0, 4), "1100");
}

TEST_F(QtDialogTest, ControlsFollowTheReaderState) {
    Settle();
    EXPECT_EQ(Enabled().substr(4), "100");  // nothing chosen: no Open
    Child<QComboBox>("readers")->setCurrentIndex(1);
    emit Child<QComboBox>("readers")->activated(1);
    EXPECT_EQ(Enabled().substr(4), "110");
    fakepcsc::InsertCard(reader, SCARD_PROTOCOL_T0);
    QTest::mouseClick(Button("Open"), Qt::LeftButton);
    shell.Deliver();
    EXPECT_EQ(Enabled().substr(4), "001");
    EXPECT_TRUE(dialog->findChild<QCheckBox*>()->isChecked());
    EXPECT_EQ(Child<QLabel>("protocol")->text(), QString());
    char reply[1000];
    velmora::InterpretCommand("TRANSMIT T0 00", reply);
    velmora::RefreshDialogControls(dialog);
    EXPECT_EQ(Child<QLabel>("protocol")->text(), QStringLiteral("T0"));
    QTest::mouseClick(Button("Close"), Qt::LeftButton);
    EXPECT_EQ(Enabled().substr(4), "110");
    EXPECT_FALSE(dialog->findChild<QCheckBox*>()->isChecked());
    EXPECT_EQ(Child<QLabel>("protocol")->text(), QString());
}

TEST_F(QtDialogTest, LogIsNewestFirstAndCutAtOneHundredLines) {
    for (int i = 0; i < 130; ++i) {
        velmora::LogTrim();
        std::string line = "CMD " + std::to_string(i);
        velmora::LogInsert(0, line.c_str());
        velmora::LogInsert(line.size(), "\r\n");
        velmora::LogInsert(line.size(), " => ");
        velmora::LogInsert(line.size() + 4, "200 OK");
    }
    QStringList lines = dialog->LogText().split('\n');
    EXPECT_EQ(lines.first(), QStringLiteral("CMD 129 => 200 OK"));
    EXPECT_EQ(lines.at(100), QStringLiteral("CMD 29 => 200 OK"));
    EXPECT_EQ(lines.size(), 102);  // 101 entries and the empty text after the last break
}

TEST_F(QtDialogTest, StatusTextIsCutAndDecodedFromWindows1252) {
    std::string text(2100, 'x');
    velmora::ShowStatus(dialog, "%s", text.c_str());
    EXPECT_EQ(dialog->StatusText().size(), 1999);
    velmora::ShowStatus(dialog, "Namensaufl\xF6sung f\xFCr '%s' \x80", "host");
    EXPECT_EQ(dialog->StatusText(), QString::fromUtf8("Namensauflösung für 'host' €"));
}

TEST_F(QtDialogTest, MinimizeClosesToTrayAndEnterEscapeDoNothing) {
    bool closed = false;
    QObject::connect(dialog, &ConnectionDialog::closedToTray, [&closed] { closed = true; });
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTest::keyClick(dialog, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    dialog->showMinimized();
    QTest::qWait(1);
    Settle();
    EXPECT_TRUE(closed);
}

TEST(Cp1252, RoundTripsEveryDefinedByte) {
    for (int b = 1; b < 256; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
        char in[2] = {static_cast<char>(b), 0};
        char out[4];
        velmora::qt::ToCp1252(velmora::qt::FromCp1252(in), out, sizeof out);
        EXPECT_EQ(static_cast<unsigned char>(out[0]), b);
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
