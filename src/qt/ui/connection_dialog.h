// The connection dialog over Qt Widgets: the controls of the template, in
// its order and proportions. Every decision is the core's; this class only
// reads and writes widgets.
#pragma once

#include "ui/view.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace velmora::qt {

class ConnectionDialog : public QDialog, public velmora::ConnectionDialogView {
    Q_OBJECT

public:
    // trayAvailable: whether minimizing may close the dialog (the tray can
    // bring it back) or must only minimize it.
    ConnectionDialog(bool trayAvailable, QWidget* parent = nullptr);
    ~ConnectionDialog() override;

    // Runs the core's opening steps; call once the dialog is shown.
    void Start();

    // For tests and the screenshot tool; they bring the widgets up to date.
    QString LogText();
    QString StatusText();
    // Shows pending status and log changes now.
    void Render();

    void SetStatusText(const char* text) override;
    void InsertLogText(size_t position, const char* text) override;
    size_t LogLineStart(int line) override;
    void CutLogFrom(size_t position) override;
    void ReadHostText(char* text, size_t size) override;
    void ReadPortText(char* text, size_t size) override;
    void WriteHostText(const char* text) override;
    void WritePortText(const char* text) override;
    void ClearReaderList() override;
    void AddReaderEntry(const char* name) override;
    void SelectReaderEntry(int index) override;
    int SelectedReaderEntry() override;
    void ReadReaderEntry(int index, char* text, size_t size) override;
    void ApplyControls(const velmora::ControlStates& states) override;
    void FocusConnect() override;
    void PostCommand(int id) override;
    void ShowErrorBox(const char* text, const char* title) override;

    // Runs a command as if its control had sent it.
    void Command(int id, int notification = velmora::kNotifyNone);

signals:
    // The close box: the whole program ends.
    void exitRequested();
    // The dialog has closed itself (minimize with a tray to come back from).
    void closedToTray();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void BuildControls();
    void ConnectSignals();
    void ScheduleRender();

    bool trayAvailable_;
    QLineEdit* host_ = nullptr;
    QLineEdit* port_ = nullptr;
    QPushButton* connect_ = nullptr;
    QPushButton* disconnect_ = nullptr;
    QComboBox* readers_ = nullptr;
    QCheckBox* cardPresent_ = nullptr;
    QLabel* protocol_ = nullptr;
    QPushButton* open_ = nullptr;
    QPushButton* close_ = nullptr;
    QLabel* status_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    std::string logText_;  // the log as the core wrote it, Windows-1252 with CR LF
    std::string statusText_;
    bool statusDirty_ = false;
    bool logDirty_ = false;
    bool renderPending_ = false;
};

} // namespace velmora::qt
