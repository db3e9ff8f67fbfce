#include "ClientWebPage.h"

#include "ClientGLWidget.h"
#include "ClientWebView.h"
#include "BrokerSession.h"
#include "Logging.h"
#include "PageScripts.h"
#include "PageForms.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionValues.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSslCertificate>
#include <QThread>
#include <QWebEngineCertificateError>
#include <QWebEngineView>

namespace {

constexpr std::uint64_t navigationComponents =
    LogComponentMask::BROKER | LogComponentMask::SMGNT | LogComponentMask::QTGUI;

void nav(const std::string& text) { componentDebug(navigationComponents, text); }

// A broker hands over with addresses that may carry passwords, in the query
// (qdk addresses) or in the user information: the log shows them masked.
std::string navigationLogText(const QUrl& url) { return addressForLog(url.toString().toStdString()); }

// The server connections look the trust in a server's certificate up by the
// host as the connection side was given it.
std::string connectionHost(const QUrl& url) { return serverHostOf(url.toString().toStdString()); }

// The browser now accepts the page's certificate for its host (and keeps
// that for the life of its profile): the server connections accept exactly
// this certificate too.
void acceptCertificateForConnections(const QWebEngineCertificateError& error) {
    const std::string host = connectionHost(error.url());
    const QList<QSslCertificate> chain = error.certificateChain();
    if (host.empty() || chain.isEmpty()) {
        logWarning("No certificate of '" + navigationLogText(error.url()) +
                   "' to accept for the server connections; they verify it against the system's CA certificates");
        return;
    }
    const QByteArray der = chain.first().toDer();
    const std::string fingerprint =
        qor::ServerCertificateTrust::pinCertificate(host, std::string(der.constData(), static_cast<std::size_t>(der.size())));
    logNotice("Accepted the certificate of server '" + host + "' for its connections (SHA-256 " + fingerprint + ")");
}

} // namespace

ClientWebPage::ClientWebPage(int viewId, QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent), viewId(viewId) {
    if (isDebugEnabled()) logDebug(logName() + ": New ClientWebPage loading");
}

ClientWebPage::~ClientWebPage() = default;

std::string ClientWebPage::logName() const { return "WebPage_" + std::to_string(viewId); }

QWidget* ClientWebPage::canvasWindow() const {
    auto* clientView = qobject_cast<ClientWebView*>(view());
    if (clientView == nullptr) return nullptr;
    return clientView->canvasWindow();
}

bool ClientWebPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool) {
    nav(logName() + ": User navigated to " + navigationLogText(url));
    setBackgroundColor(Qt::white);
    QThread::msleep(40);

    bool fromBroker = false;
    if (isBrokerServiceEnabled()) fromBroker = isBrokerUrl(url);
    if (fromBroker) {
        if (isBrokerSignInPage(url) && !brokerUserName().empty())
            signIntoBroker(qobject_cast<QWebEngineView*>(view()), brokerUserName(), brokerPassword());
        if (isBrokerSignOutPage(url)) {
            nav("Client signed out of broker");
            resetBrokerInformation();
        }
    }

    bool serverRule = !fromBroker;
    if (isConnectedToBroker()) {
        if (url.scheme() == "qdk") return true;
        if (!fromBroker) {
            QString error;
            if (!setServerUrl(url.toString(), error)) {
                logError(logName() + ":  broker -> server, error setting server url '" +
                         serverUrlText() + "', " + error.toStdString());
                return false;
            }
            nav(logName() + ": broker -> server, url '" + serverUrlText() + "'");
            disconnectFromBroker();
        }
    }
    if (!serverRule) {
        setConnectedToBroker();
        nav(logName() + ": Valid navigation request, client connected to broker service '" +
            navigationLogText(url) + "'");
    } else if (!acceptServerPage(url)) {
        if (QWidget* window = canvasWindow()) {
            logError(logName() + ": Invalid navigation request, hiding view");
            window->hide();
        }
        return false;
    }
    if (QWidget* window = canvasWindow()) window->show();
    return true;
}

bool ClientWebPage::acceptServerPage(const QUrl& url) {
    if (!isServerUrl(url)) return false;
    nav(logName() + ": Valid navigation request to server " + navigationLogText(url));
    const bool secure = url.scheme() == "https";
    const bool wasSecure = qor::serverIsSecure.load();
    if (secure) {
        nav(logName() + (wasSecure ? ": Running in https session" : ": Changed to https session"));
    } else {
        nav(logName() + (wasSecure ? ": Changed to http session" : ": Running in http session"));
    }
    qor::serverIsSecure = secure;
    // The server connections check nothing while the page's certificate
    // errors are ignored, and verify or compare with the accepted
    // certificates otherwise.
    if (secure) qor::ServerCertificateTrust::setIgnoreErrors(connectionHost(url), ignoreCertificateErrors());
    const int port = url.port(secure ? 443 : 80);
    const int previous = qor::serverPort.load();
    if (previous != 0 && previous != port)
        nav(logName() + ": Port changed from " + std::to_string(previous) + " to " + std::to_string(port));
    qor::serverPort = port;
    return true;
}

bool ClientWebPage::certificateError(const QWebEngineCertificateError& error) {
    if (isDebugEnabled()) logDebug("SSL certificateError");
    if (ignoreCertificateErrors()) {
        logNotice("Ignoring SSL certificateError");
        acceptCertificateForConnections(error);
        return true;
    }
    if (error.isOverridable()) {
        const QString host = serverUrl().host(QUrl::FullyDecoded);
        const QString text = "Attackers may be stealing your information (such as passwords, video, and keyboard "
                             "presses) from " +
                             host + ".\n\n" + "Unsecure certificate: " + error.errorDescription() + ".\n\n" +
                             "Contact the system admins of " + host + " for more assistance.";
        QMessageBox box(QMessageBox::Warning, "Security Warning!  Your Connection is Not Private", text);
        box.setWindowModality(Qt::ApplicationModal);
        box.addButton("Proceed Anyway", QMessageBox::AcceptRole);
        QPushButton* abort = box.addButton("Abort (Recommended)", QMessageBox::RejectRole);
        box.setDefaultButton(abort);
        const bool quitOnClose = QApplication::quitOnLastWindowClosed();
        QApplication::setQuitOnLastWindowClosed(false);
        box.exec();
        QApplication::setQuitOnLastWindowClosed(quitOnClose);
        if (box.clickedButton() == abort) return false;
        acceptCertificateForConnections(error);
        return true;
    }
    QMessageBox::critical(nullptr, "Certificate Error", "Can't load page.  Certificate Error: " + error.errorDescription());
    return false;
}

QWebEnginePage* ClientWebPage::createWindow(WebWindowType) {
    auto* window = new ClientGLWidget(false);
    auto* newView = qobject_cast<ClientWebView*>(window->hostedView());
    if (newView == nullptr) {
        delete window;
        return nullptr;
    }
    newView->loadPageUrl(url());
    connect(newView->page(), &QWebEnginePage::loadFinished, window, &ClientGLWidget::loadFinished);
    // The window's close handling takes the view out and closes it.
    newView->setAttribute(Qt::WA_DeleteOnClose, true);
    return newView->page();
}

void ClientWebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                             const QString&) {
    componentDebug(LogComponentMask::JS | LogComponentMask::VH, logName() + ":JS:" + message.toStdString());
}

void setBrokerUrlInPage(QWebEnginePage* page, QUrl brokerUrl) {
    if (isDebugEnabled()) logDebug("ClientDebug: Setting broker URL in web client " + brokerUrl.toString().toStdString());
    page->runJavaScript(PageScripts::brokerUrl(brokerUrl));
}
