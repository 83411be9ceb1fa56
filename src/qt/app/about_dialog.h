// The About dialog: the product's name and an OK button, shown modally.
#pragma once

#include <QDialog>

namespace velmora::qt {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

protected:
    void reject() override;  // Escape leaves the dialog open
    void closeEvent(QCloseEvent* event) override;
};

} // namespace velmora::qt
