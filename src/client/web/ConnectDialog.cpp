#include "ConnectDialog.h"

#include "BrokerSession.h"
#include "Logging.h"
#include "PageProbes.h"
#include "Utilities.h"
#include "WebResources.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringList>
#include <QStyle>
#include <QTextStream>

namespace {

constexpr int historyLength = 6;
const char* const productName = "Quarrydesk";

void debugLine(const QString& text) {
    if (isDebugEnabled()) logDebug(text.toStdString());
}

QString historyDirectory() { return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation); }

} // namespace

QString ConnectDialog::historyFilePath() { return historyDirectory() + QStringLiteral("/history"); }

ConnectDialog::ConnectDialog(QWidget* parent) : QDialog(parent) {
    initWebResources();
    buildUi();
    setWindowTitle(QStringLiteral("Quarrydesk Client ") + QString::fromStdString(getClientVersion()));
    setSizeGripEnabled(false);
    setModal(false);
    addressBox->setFocus(Qt::OtherFocusReason);
}

void ConnectDialog::buildUi() {
    auto* layout = new QGridLayout(this);

    addressBox = new QComboBox(this);
    addressBox->setEditable(true);
    addressBox->setMinimumSize(400, addressBox->height());
    addressBox->setMaximumHeight(addressBox->height());
    loadHistory();

    serverLabel = new QLabel(tr("Server Address"), this);
    serverLabel->setBuddy(addressBox);
    serverLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    connectButtonBox = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QPushButton* connectButton = connectButtonBox->button(QDialogButtonBox::Ok);
    connectButton->setText(tr("Connect"));
    connectButton->setDefault(true);
    connectButton->setAutoDefault(true);
    cancelButtonBox = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* cancelButton = cancelButtonBox->button(QDialogButtonBox::Cancel);
    cancelButton->setText(tr("Cancel"));

    connect(connectButton, &QPushButton::clicked, this, &ConnectDialog::handleClickOK);
    connect(cancelButton, &QPushButton::clicked, this, &ConnectDialog::handleClickCancel);

    spinnerLabel = new QLabel(this);
    spinnerMovie = new QMovie(QStringLiteral(":images/ajax-loader.gif"), QByteArray(), this);
    spinnerLabel->setMovie(spinnerMovie);
    spinnerMovie->start();
    spinnerLabel->hide();

    errorIcon = new QLabel(this);
    errorText = new QLabel(this);
    errorIcon->hide();
    errorText->hide();
    auto* errorBox = new QHBoxLayout;
    errorBox->addWidget(errorIcon);
    errorBox->addWidget(errorText);

    layout->addWidget(serverLabel, 0, 0, 1, 1, Qt::AlignLeft);
    layout->addWidget(addressBox, 0, 1, 1, 3, Qt::AlignLeft);
    layout->addLayout(errorBox, 1, 0, 1, 4, Qt::AlignCenter);
    layout->addWidget(spinnerLabel, 1, 0, 1, 4, Qt::AlignCenter);
    layout->addWidget(cancelButtonBox, 2, 2, 1, 1, Qt::AlignRight);
    layout->addWidget(connectButtonBox, 2, 3, 1, 1, Qt::AlignRight);
    for (int row = 0; row < 3; ++row) layout->setRowStretch(row, 1);

    const std::string pending = takePendingConnectMessage();
    if (!pending.empty()) showError(QString::fromLocal8Bit(pending.c_str()));
}

void ConnectDialog::loadHistory() {
    QDir().mkpath(historyDirectory());
    QFile file(historyFilePath());
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&file);
        while (!in.atEnd()) {
            const QString line = in.readLine();
            QUrl url(line, QUrl::TolerantMode);
            if (url.isEmpty()) continue;
            if (url.scheme().isEmpty()) url = QUrl(QStringLiteral("https://") + line, QUrl::TolerantMode);
            const bool httpScheme = url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http");
            if (!httpScheme || !url.isValid()) continue;
            if (addressBox->findText(line, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) {
                addressBox->addItem(line);
                componentDebug(LogComponentMask::BROKER | LogComponentMask::SMGNT | LogComponentMask::QTGUI,
                               "Found past URL: " + line.toStdString());
            }
        }
    }
    addressBox->setDuplicatesEnabled(false);
}

void ConnectDialog::showError(QString text) {
    errorIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
    errorText->setText(text);
    errorIcon->show();
    errorText->show();
}

void ConnectDialog::hideSpinner() { spinnerLabel->hide(); }

QString ConnectDialog::currentText() const { return addressBox->currentText(); }

void ConnectDialog::handleClickOK() {
    debugLine(QStringLiteral("User clicked ok"));
    const QString address = addressBox->currentText().trimmed();
    const std::string addressText = address.toStdString();
    std::string body;
    if (!fetchPage(addressText, body)) {
        const QString message = QStringLiteral("Can't reach ") + productName + " server on address " + address;
        debugLine(message);
        showError(message);
        addressBox->setFocus(Qt::OtherFocusReason);
        return;
    }
    QUrl accepted;
    if (probeServer(addressText, body)) {
        QString error;
        if (!setServerUrl(address, error)) {
            if (!error.isEmpty()) {
                debugLine(error);
                showError(error);
            }
            addressBox->setFocus(Qt::OtherFocusReason);
            return;
        }
        accepted = serverUrl();
    } else {
        debugLine(QStringLiteral("URL is not a ") + productName + " server URL");
        if (!probeBroker(addressText, body)) {
            debugLine(QStringLiteral("URL is not a connection broker URL"));
            const QString message =
                QStringLiteral("Can't connect to ") + address + ", because it is not a " + productName + " server";
            debugLine(message);
            showError(message);
            addressBox->setFocus(Qt::OtherFocusReason);
            return;
        }
        logNotice("User navigated to connection broker service");
        if (!initBrokerUrl(addressText)) {
            logWarning("Can't set broker URL to " + addressText);
            addressBox->setFocus(Qt::OtherFocusReason);
            return;
        }
        accepted = brokerUrl();
    }
    spinnerLabel->show();
    errorIcon->hide();
    errorText->hide();
    setResult(QDialog::Accepted);
    emit acceptConnect(accepted);
}

void ConnectDialog::handleClickCancel() {
    debugLine(QStringLiteral("User clicked cancel"));
    setResult(QDialog::Rejected);
    emit rejectConnect();
}

void ConnectDialog::connectWithRetry(QUrl url) {
    const QString text = url.toString();
    const int index = addressBox->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0) {
        addressBox->setCurrentIndex(index);
    } else {
        addressBox->addItem(text);
        addressBox->setCurrentIndex(addressBox->count() - 1);
    }
    show();
}

void ConnectDialog::saveHistory() {
    QUrl url(addressBox->currentText(), QUrl::TolerantMode);
    if (url.hasQuery()) url.setQuery(QString());
    QString path = url.path(QUrl::FullyDecoded);
    if (path.contains(QLatin1String("guest-signin.html"))) {
        path.replace(QLatin1String("guest-signin.html"), QLatin1String("signin.html"));
        url.setPath(path, QUrl::DecodedMode);
    }
    QStringList list{url.toString()};
    QFile file(historyFilePath());
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&file);
        while (!in.atEnd()) {
            const QString line = in.readLine();
            if (!line.trimmed().isEmpty()) list.append(line);
        }
        file.close();
    }
    list.removeDuplicates();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return;
    QTextStream out(&file);
    for (int i = 0; i < list.size() && i < historyLength; ++i) out << list.at(i) << '\n';
}
