#include "ConnectDialog.h"

#include "BrokerSession.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
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
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Server or broker address:"));
    layout->addWidget(address_);
    layout->addWidget(errorLine_);
    layout->addWidget(buttons);
}

void ConnectDialog::connectWithRetry(const QUrl& url) {
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
    errorLine_->setText(QString::fromStdString(pending));
    pending.clear();
    show();
}

void ConnectDialog::connectClicked() {
    std::string error;
    const std::string address = address_->currentText().trimmed().toStdString();
    if (!initStartServerUrl(address, error)) {
        errorLine_->setText(QString::fromStdString(error));
        return;
    }
    errorLine_->clear();
    emit serverChosen(QString::fromStdString(BrokerSession::instance().startServerUrl));
    accept();
}
