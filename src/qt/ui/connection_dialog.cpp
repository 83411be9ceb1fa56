#include "ui/connection_dialog.h"

#include "ui/cp1252.h"
#include "ui/dialog.h"
#include "ui/dialog_units.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <cstring>

namespace velmora::qt {
namespace {

QLabel* Label(QWidget* parent, const char* text, Qt::Alignment alignment = Qt::AlignLeft) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

QPushButton* Button(QWidget* parent, const char* text) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setAutoDefault(false);  // Enter presses nothing
    button->setDefault(false);
    return button;
}

// Display form of log text: CR LF becomes a paragraph break; a lone CR or
// LF inside a command is shown as a symbol so positions stay one-to-one.
QString DisplayText(const std::string& text) {
    QString shown;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            shown.append(QChar('\n'));
            ++i;
        } else if (c == '\r' || c == '\n') {
            shown.append(QChar(c == '\r' ? 0x240D : 0x240A));
        } else {
            shown.append(FromCp1252(&c, 1));
        }
    }
    return shown;
}

} // namespace

ConnectionDialog::ConnectionDialog(bool trayAvailable, QWidget* parent)
    : QDialog(parent), trayAvailable_(trayAvailable) {
    setWindowTitle(QStringLiteral("Velmora Client"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_DeleteOnClose, false);
    BuildControls();
    ConnectSignals();
}

ConnectionDialog::~ConnectionDialog() {
    if (velmora::ConnectionDialog() == this) velmora::SetConnectionDialog(nullptr);
}

void ConnectionDialog::BuildControls() {
    // The template's 8-point dialog font; the layout scales with it.
    QFont dialogFont = font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    DialogUnits du(dialogFont);
    setFixedSize(du.X(423), du.Y(256));

    du.Place(new QGroupBox(QStringLiteral("Connection with remote virtual Smartcard Reader"), this), 7, 7, 409, 33);
    du.Place(Label(this, "Remote Host:"), 13, 23, 44, 14);
    host_ = new QLineEdit(this);
    host_->setObjectName(QStringLiteral("host"));
    du.Place(host_, 61, 21, 121, 12);
    du.Place(Label(this, "Port:"), 191, 23, 17, 14);
    port_ = new QLineEdit(this);
    port_->setObjectName(QStringLiteral("port"));
    du.Place(port_, 210, 21, 37, 12);
    connect_ = Button(this, "Connect");
    du.Place(connect_, 258, 19, 66, 14);
    disconnect_ = Button(this, "Disconnect");
    du.Place(disconnect_, 330, 19, 78, 14);

    du.Place(new QGroupBox(QStringLiteral("Reader Selection"), this), 7, 46, 409, 33);
    du.Place(Label(this, "Reader:"), 13, 62, 29, 14);
    readers_ = new QComboBox(this);
    readers_->setObjectName(QStringLiteral("readers"));
    readers_->setEditable(false);
    du.Place(readers_, 44, 60, 210, 14);  // the closed box; its list opens below
    cardPresent_ = new QCheckBox(this);
    cardPresent_->setEnabled(false);
    du.Place(cardPresent_, 262, 60, 12, 12);
    du.Place(Label(this, "Prot:", Qt::AlignRight), 271, 62, 20, 10);
    protocol_ = Label(this, "");
    protocol_->setObjectName(QStringLiteral("protocol"));
    du.Place(protocol_, 294, 62, 18, 10);
    open_ = Button(this, "Open");
    du.Place(open_, 317, 59, 43, 14);
    close_ = Button(this, "Close");
    du.Place(close_, 366, 59, 42, 14);

    du.Place(new QGroupBox(QStringLiteral("Status"), this), 7, 85, 409, 38);
    status_ = Label(this, "");
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    du.Place(status_, 13, 94, 397, 25);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName(QStringLiteral("log"));
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    du.Place(log_, 7, 130, 409, 120);

    QWidget* order[] = {host_, port_, connect_, disconnect_, readers_, open_, close_, log_};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i) setTabOrder(order[i - 1], order[i]);
}

void ConnectionDialog::ConnectSignals() {
    connect(host_, &QLineEdit::textChanged, this, [this] { Command(kIdHost, kNotifyEditChanged); });
    connect(port_, &QLineEdit::textChanged, this, [this] { Command(kIdPort, kNotifyEditChanged); });
    connect(connect_, &QPushButton::clicked, this, [this] { Command(kIdConnect); });
    connect(disconnect_, &QPushButton::clicked, this, [this] { Command(kIdDisconnect); });
    connect(open_, &QPushButton::clicked, this, [this] { Command(kIdOpen); });
    connect(close_, &QPushButton::clicked, this, [this] { Command(kIdClose); });
    connect(readers_, &QComboBox::activated, this, [this] { Command(kIdReaderList, kNotifySelChanged); });
}

void ConnectionDialog::Start() {
    // Centre on the desktop, as every dialog of the client opens.
    if (QScreen* screen = this->screen()) {
        QRect desk = screen->geometry();
        move(desk.x() + (desk.width() - width()) / 2, desk.y() + (desk.height() - height()) / 2);
    }
    velmora::ConnectionDialogOpened(this);
}

void ConnectionDialog::Command(int id, int notification) {
    velmora::ConnectionDialogCommand(this, id, notification);
}

QString ConnectionDialog::LogText() {
    Render();
    return log_->toPlainText();
}

QString ConnectionDialog::StatusText() {
    Render();
    return status_->text();
}

// Widgets are brought up to date at most this often: laying out the log
// and the status line costs far more than answering a command, so a burst
// of commands is shown as it stands, not step by step.
constexpr int kRenderIntervalMs = 40;

void ConnectionDialog::ScheduleRender() {
    if (renderPending_) return;
    renderPending_ = true;
    QTimer::singleShot(kRenderIntervalMs, this, &ConnectionDialog::Render);
}

void ConnectionDialog::Render() {
    renderPending_ = false;
    if (statusDirty_) status_->setText(FromCp1252(statusText_.c_str()));
    if (logDirty_) {
        log_->setPlainText(DisplayText(logText_));
        log_->verticalScrollBar()->setValue(0);  // the newest entry is at the top
    }
    statusDirty_ = false;
    logDirty_ = false;
}

void ConnectionDialog::SetStatusText(const char* text) {
    statusText_ = text;
    statusDirty_ = true;
    ScheduleRender();
}

void ConnectionDialog::InsertLogText(size_t position, const char* text) {
    logText_.insert(std::min(position, logText_.size()), text);
    logDirty_ = true;
    ScheduleRender();
}

size_t ConnectionDialog::LogLineStart(int line) {
    size_t at = 0;
    for (int i = 0; i < line; ++i) {
        size_t next = logText_.find('\n', at);
        if (next == std::string::npos) return 0;
        at = next + 1;
    }
    return at < logText_.size() ? at : 0;
}

void ConnectionDialog::CutLogFrom(size_t position) {
    if (position >= logText_.size()) return;
    logText_.erase(position);
    logDirty_ = true;
    ScheduleRender();
}

void ConnectionDialog::ReadHostText(char* text, size_t size) { ToCp1252(host_->text(), text, size); }
void ConnectionDialog::ReadPortText(char* text, size_t size) { ToCp1252(port_->text(), text, size); }

void ConnectionDialog::WriteHostText(const char* text) {
    QSignalBlocker block(host_);
    host_->setText(FromCp1252(text));
}

void ConnectionDialog::WritePortText(const char* text) {
    QSignalBlocker block(port_);
    port_->setText(FromCp1252(text));
}

void ConnectionDialog::ClearReaderList() { readers_->clear(); }
void ConnectionDialog::AddReaderEntry(const char* name) { readers_->addItem(FromCp1252(name)); }
void ConnectionDialog::SelectReaderEntry(int index) { readers_->setCurrentIndex(index); }
int ConnectionDialog::SelectedReaderEntry() { return readers_->currentIndex(); }

void ConnectionDialog::ReadReaderEntry(int index, char* text, size_t size) {
    ToCp1252(index >= 0 ? readers_->itemText(index) : QString(), text, size);
}

void ConnectionDialog::ApplyControls(const velmora::ControlStates& s) {
    host_->setEnabled(s.hostEnabled);
    port_->setEnabled(s.portEnabled);
    connect_->setEnabled(s.connectEnabled);
    disconnect_->setEnabled(s.disconnectEnabled);
    readers_->setEnabled(s.readerListEnabled);
    open_->setEnabled(s.openEnabled);
    close_->setEnabled(s.closeEnabled);
    cardPresent_->setChecked(s.cardPresent);
    protocol_->setText(QString::fromLatin1(s.protocol));
}

void ConnectionDialog::FocusConnect() { connect_->setFocus(); }

void ConnectionDialog::PostCommand(int id) {
    QTimer::singleShot(0, this, [this, id] { Command(id); });
}

void ConnectionDialog::ShowErrorBox(const char* text, const char* title) {
    QMessageBox::critical(this, FromCp1252(title), FromCp1252(text));
}

void ConnectionDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || !trayAvailable_) return;
    // Minimizing closes the dialog; the tray brings up a new one. Without a
    // tray it stays, only minimized, so the program is never out of reach.
    QTimer::singleShot(0, this, [this] { emit closedToTray(); });
}

void ConnectionDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    emit exitRequested();
}

void ConnectionDialog::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape do nothing in this dialog.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
        event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ConnectionDialog::reject() {}

} // namespace velmora::qt
