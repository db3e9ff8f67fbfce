// Stand-in for the connect dialog until the real one (with its address
// history and start-address probes) is part of the client: an address
// field, the error line that shows the pending message once, Connect and
// Cancel, with the operations the main window's view calls.
#pragma once

#include <QDialog>
#include <QUrl>

class QComboBox;
class QLabel;

class ConnectDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConnectDialog(QWidget* parent = nullptr);

    // Selects or adds the address and shows the dialog (not modal).
    void connectWithRetry(QUrl url);
    void showError(QString text);
    void hideSpinner() {}
    QString currentText() const;
    void saveHistory() {}

signals:
    // The user chose an address.
    void acceptConnect(QUrl& url);
    void rejectConnect();

private slots:
    void connectClicked();

private:
    QComboBox* address_;
    QLabel* errorLine_;
};
