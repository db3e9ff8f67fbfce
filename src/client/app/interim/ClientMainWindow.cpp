#include "ClientMainWindow.h"

#include "BrokerSession.h"
#include "ConnectDialog.h"
#include "MyQApplication.h"

#include <QApplication>
#include <QLabel>

ClientMainWindow::ClientMainWindow(QWidget* parent)
    : QMainWindow(parent), connectDialog_(new ConnectDialog(this)), status_(new QLabel) {
    QString title = "Quarrydesk Client";
    if (!windowTitleWarning.empty()) title = QString::fromStdString(windowTitleWarning) + "  -  " + title;
    setWindowTitle(title);
    status_->setAlignment(Qt::AlignCenter);
    setCentralWidget(status_);
    resize(1024, 700);
    const BrokerSession& session = BrokerSession::instance();
    if (session.startServerUrlSet) showServer(QString::fromStdString(session.startServerUrl));
    else if (session.brokerEnabled) showServer(QString::fromStdString(session.brokerUrl));
    connect(connectDialog_, &ConnectDialog::serverChosen, this, &ClientMainWindow::showServer);
    // Cancel in the connect dialog ends the client.
    connect(connectDialog_, &QDialog::rejected, this, &QWidget::close);
}

void ClientMainWindow::showServer(const QString& address) { status_->setText(address); }

void ClientMainWindow::cleanup() {}
