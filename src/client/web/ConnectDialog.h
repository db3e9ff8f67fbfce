// The dialog in which the user types or picks the address of a server or of
// a connection broker. It fetches the address, recognises a server by its
// page marker or a broker by its alive probe, records it in the broker
// session and signals acceptConnect; it stays open with a busy animation
// until the main window has loaded the page, which then closes it and has it
// save the address history. The history keeps the last 6 addresses that
// led to a working connection, newest first, in the file "history" of the
// application's data directory.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QMovie;

class ConnectDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConnectDialog(QWidget* parent);

    // Selects the address in the list (adding it when missing) and shows
    // the dialog; an empty address gives an empty edit field.
    void connectWithRetry(QUrl url);
    void showError(QString text);
    void hideSpinner();
    QString currentText() const;
    // Writes the current address at the top of the history file.
    void saveHistory();

    // The history file's path (the directory is created by the dialog).
    static QString historyFilePath();

signals:
    void acceptConnect(QUrl& url);
    void rejectConnect();

public slots:
    void handleClickOK();
    void handleClickCancel();

private:
    void buildUi();
    void loadHistory();

    QLabel* serverLabel = nullptr;
    QComboBox* addressBox = nullptr;
    QLabel* spinnerLabel = nullptr;
    QMovie* spinnerMovie = nullptr;
    QLabel* errorText = nullptr;
    QLabel* errorIcon = nullptr;
    QDialogButtonBox* connectButtonBox = nullptr;
    QDialogButtonBox* cancelButtonBox = nullptr;
};
