// The connect dialog as start-up needs it: an address field, the error line
// that shows the pending message once, Connect and Cancel. Cancel ends the
// client when no window remains.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;

class ConnectDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConnectDialog(QWidget* parent = nullptr);

    // Selects or adds the address and shows the dialog (not modal).
    void connectWithRetry(const QUrl& url);

signals:
    // The user chose a server address.
    void serverChosen(const QString& address);

private slots:
    void connectClicked();

private:
    QComboBox* address_;
    QLabel* errorLine_;
};
