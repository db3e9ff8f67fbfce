#include "ConnectDialog.h"

#include "BrokerSession.h"
#include "WebSessionStandIns.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

ConnectDialog::ConnectDialog(QWidget* parent) : QDialog(parent), address_(new QComboBox), errorLine_(new QLabel) {
    setWindowTitle("Connect to Quarrydesk");
    address_->setEditable(true);
    address_->setMinimumWidth(360);
    errorLine_->setStyleSheet("color: #b00020");
    errorLine_->setWordWrap(true);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton("Connect", QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &ConnectDialog::connectClicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &ConnectDialog::rejectConnect);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Server or broker address:"));
    layout->addWidget(address_);
    layout->addWidget(errorLine_);
    layout->addWidget(buttons);
}

void ConnectDialog::connectWithRetry(QUrl url) {
    if (!url.isEmpty()) {
        const QString text = url.toString();
        int index = address_->findText(text);
        if (index < 0) {
            address_->addItem(text);
            index = address_->count() - 1;
        }
        address_->setCurrentIndex(index);
    }
    std::string& pending = BrokerSession::instance().pendingConnectMessage;
    if (!pending.empty()) errorLine_->setText(QString::fromStdString(pending));
    pending.clear();
    show();
}

void ConnectDialog::showError(QString text) { errorLine_->setText(text); }

QString ConnectDialog::currentText() const { return address_->currentText(); }

void ConnectDialog::connectClicked() {
    QString error;
    if (!setServerUrl(address_->currentText().trimmed(), error)) {
        errorLine_->setText(error);
        return;
    }
    errorLine_->clear();
    QUrl url = serverUrl();
    emit acceptConnect(url);
}
