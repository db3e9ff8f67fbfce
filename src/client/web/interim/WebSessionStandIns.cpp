#include "WebSessionStandIns.h"

#include "BrokerSession.h"
#include "ConnectionStandIns.h"
#include "ClientSettings.h"
#include "Logging.h"
#include "WebScriptText.h"

#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

QUrl currentServer;
bool connectedBroker = false;

QUrl fromText(const std::string& text) { return QUrl(QString::fromStdString(text)); }

QString host(const QUrl& url) { return url.host(QUrl::FullyDecoded); }

void run(QWebEngineView* view, const QString& script) {
    if (view != nullptr && view->page() != nullptr) view->page()->runJavaScript(script);
}

} // namespace

QUrl brokerUrl() { return fromText(BrokerSession::instance().brokerUrl); }
QString brokerUrlText() { return brokerUrl().toString(); }
QUrl serverUrl() { return currentServer; }
QString serverUrlText() { return currentServer.toString(); }
QUrl startServerUrl() { return fromText(BrokerSession::instance().startServerUrl); }
std::string sessionUserName() { return BrokerSession::instance().userName; }
std::string sessionPassword() { return BrokerSession::instance().password; }
std::string brokerUserName() { return BrokerSession::instance().brokerUserName; }
std::string brokerPassword() { return BrokerSession::instance().brokerPassword; }
bool ignoreCertificateErrors() { return BrokerSession::instance().ignoreCertificateErrors; }
bool hasStartServerUrl() { return BrokerSession::instance().startServerUrlSet; }
bool isBrokerServiceEnabled() { return BrokerSession::instance().brokerEnabled; }
bool isConnectedToBroker() { return connectedBroker; }
bool hasBrokerCredentials() { return !brokerUserName().empty() && !brokerPassword().empty(); }
void assignServerUrl(QUrl url) { currentServer = url; }

bool setServerUrl(QString url, QString& error) {
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (parsed.scheme() != "http" && parsed.scheme() != "https")) {
        error = "Invalid server address '" + url + "'";
        return false;
    }
    currentServer = parsed;
    if (isDebugEnabled()) logDebug("Setting current server URL " + parsed.toString().toStdString());
    qor::setCurrentServerUrl(parsed.host(QUrl::FullyDecoded).toLocal8Bit().toStdString());
    return true;
}

void setConnectedToBroker() { connectedBroker = true; }
void disconnectFromBroker() { connectedBroker = false; }

void resetServerInformation() {
    BrokerSession& session = BrokerSession::instance();
    session.userName = clientUsername.get();
    session.password = clientPassword.get();
    session.ignoreCertificateErrors = clientIgnoreCertificateError.get();
    currentServer = QUrl();
}

void resetBrokerInformation() {
    BrokerSession::instance().brokerUserName = clientBrokerUsername.get();
    BrokerSession::instance().brokerPassword = clientBrokerPassword.get();
}

bool urlIsPage(const QUrl& url, std::string page) {
    return url.fileName(QUrl::FullyDecoded) == QString::fromStdString(page);
}

bool isBrokerHostPage(const QUrl& url) {
    return isBrokerServiceEnabled() && host(url) == host(brokerUrl()) && !urlIsPage(url, "signin.html") &&
           !urlIsPage(url, "signout.html") && !urlIsPage(url, "quarrydesk.html");
}

bool isBrokerSignInPage(const QUrl& url) {
    const QString path = url.path(QUrl::FullyDecoded);
    return isBrokerHostPage(url) && !url.query().contains("r=") &&
           (path.isEmpty() || path == "/" || path == "/index.pl");
}

bool isBrokerSignOutPage(const QUrl& url) {
    return isBrokerHostPage(url) && url.path(QUrl::FullyDecoded).contains("logout");
}

bool isBrokerUrl(const QUrl& url) { return isBrokerHostPage(url); }

bool isServerUrl(const QUrl& url) { return !host(currentServer).isEmpty() && host(url) == host(currentServer); }

std::string maskedUrlText(const QUrl& url) { return url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery).toStdString(); }

void setInputValueById(QWebEngineView* view, std::string id, std::string value, std::string next) {
    const QString element = "document.getElementById(" + jsonStringLiteral(QString::fromStdString(id)) + ")";
    QString script = "if (" + element + ") { " + element +
                     ".value = " + jsonStringLiteral(QString::fromStdString(value)) + ";";
    if (!next.empty())
        script += "  document.getElementById(" + jsonStringLiteral(QString::fromStdString(next)) + ").focus();";
    run(view, script + "}");
}

void clickElementById(QWebEngineView* view, std::string id) {
    const QString element = "document.getElementById(" + jsonStringLiteral(QString::fromStdString(id)) + ")";
    run(view, "if (" + element + ") { " + element + ".click(); }");
}

void signIntoBroker(QWebEngineView* view, std::string user, std::string password) {
    setInputValueById(view, clientBrokerLeostreamUserNameField.get(), user, clientBrokerLeostreamPasswordNameField.get());
    setInputValueById(view, clientBrokerLeostreamPasswordNameField.get(), password, clientBrokerLeostreamSubmitName.get());
    clickElementById(view, clientBrokerLeostreamSubmitName.get());
}

bool hasServerPageMarker(const QString& html) { return html.contains("<!-- MY_UUID="); }

void installSchemeHandler(QWebEngineProfile*) {}
