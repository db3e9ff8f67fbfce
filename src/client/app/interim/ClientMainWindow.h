// The main window of the client as start-up needs it: a top-level window
// with the connect dialog and the clean-up slot that runs when the
// application is about to quit. The video canvas and the web view take its
// place; until then it shows which server the client would open.
#pragma once

#include <QMainWindow>

class ConnectDialog;
class QLabel;

class ClientMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ClientMainWindow(QWidget* parent = nullptr);

    ConnectDialog* connectDialog() const { return connectDialog_; }

public slots:
    // Stops the client's threads and the js-bridge at the end of the event loop.
    void cleanup();

private:
    void showServer(const QString& address);

    ConnectDialog* connectDialog_;
    QLabel* status_;
};
