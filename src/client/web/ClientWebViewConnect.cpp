#include "ClientWebViewConnect.h"

#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ClientWebPage.h"
#include "ConnectDialog.h"
#include "BrokerSession.h"
#include "NativeClient.h"
#include "JsBridge.h"
#include "Logging.h"
#include "PageScripts.h"
#include "PageForms.h"
#include "PageProbes.h"
#include "ServerConnectionValues.h"

#include <QCoreApplication>
#include <QPointer>

#include <cstdlib>

namespace {

void auth(const std::string& text) { componentDebug(LogComponentMask::AUTH, text); }

const char* const noServerSoftware =
    "Can't connect.  Verify the host at the given address is running the server-side software.";

bool sameHost(const QUrl& a, const QUrl& b) {
    const QString host = a.host(QUrl::FullyDecoded);
    return !host.isEmpty() && host == b.host(QUrl::FullyDecoded);
}

} // namespace

void storeCsrfToken(const QVariant& result) {
    const std::string token = result.isNull() ? std::string() : result.toString().toStdString();
    qor::NativeClient::instance()->setCsrfToken(token);
}

ClientWebViewConnect::ClientWebViewConnect(QWidget* parent, ClientGLWidget* canvas, int viewId)
    : ClientWebView(parent, canvas, viewId) {
    connect(this, &ClientWebView::html, this, &ClientWebViewConnect::handleHTML);
    connect(this, &ClientWebViewConnect::acceptConnect, this, &ClientWebViewConnect::accepted);
    if (needsConnectDialog()) {
        connectDialog = new ConnectDialog(this);
        connect(connectDialog, &ConnectDialog::acceptConnect, this, &ClientWebViewConnect::accepted);
        connect(connectDialog, &ConnectDialog::rejectConnect, this, &ClientWebViewConnect::rejected);
        if (isDebugEnabled()) logDebug(logName() + ": Showing connect dialog");
    } else if (hasStartServerUrl()) {
        assignServerUrl(startServerUrl());
        if (isDebugEnabled()) logDebug(logName() + ": Connecting to server '" + serverUrlText() + "'");
        QUrl address = serverUrl();
        emit acceptConnect(address);
    } else if (isBrokerServiceEnabled()) {
        if (isDebugEnabled()) logDebug(logName() + ": Connecting to broker '" + brokerUrlText() + "'");
        QUrl address = brokerUrl();
        emit acceptConnect(address);
    }
    if (isDebugEnabled()) logDebug(logName() + ": Created ClientWebViewConnect");
}

ClientWebViewConnect::~ClientWebViewConnect() {
    delete connectDialog;
    connectDialog = nullptr;
    if (isDebugEnabled()) logDebug(logName() + ": Deleted ClientWebViewConnect");
}

std::string ClientWebViewConnect::logName() const { return "WebViewCnct_" + ClientWebView::logName().substr(8); }

void ClientWebViewConnect::accepted(QUrl& url) {
    if (isDebugEnabled()) logDebug(logName() + ": Accepted navigation with url '" + maskedUrlText(url));
    loadPageUrl(url);
}

void ClientWebViewConnect::rejected() {
    if (isDebugEnabled()) logDebug(logName() + ": User requested exit");
    if (QWidget* window = canvasWindow()) window->close();
    close();
    QCoreApplication::exit(0);
}

void ClientWebViewConnect::handleLoadStarted() { ClientWebView::handleLoadStarted(); }

void ClientWebViewConnect::handleLoadFinished(bool success) {
    const QUrl address = page() != nullptr ? page()->url() : serverUrl();
    const bool signIn = urlIsPage(address, "signin.html");
    const bool signOut = urlIsPage(address, "signout.html");
    const bool mainPage = urlIsPage(address, "quarrydesk.html");
    const bool brokerHost = isBrokerHostPage(address);
    const bool brokerSignIn = isBrokerSignInPage(address);
    const bool brokerSignOut = isBrokerSignOutPage(address);
    const bool lastWasMain = urlIsPage(lastServerPageUrl, "quarrydesk.html");
    const char* kind = signIn ? " signin" : signOut ? " signout" : mainPage ? " main" : brokerHost ? " broker" : " other";

    if (!signIn && !signOut && !mainPage && !brokerHost && !isServerUrl(address)) {
        if (isBrokerServiceEnabled()) {
            resetServerInformation();
            if (isDebugEnabled())
                logDebug(logName() + ": Page not from server, reconnecting to broker '" + brokerUrlText() +
                         "'");
            QUrl broker = brokerUrl();
            emit acceptConnect(broker);
            return;
        }
        if (hasStartServerUrl()) {
            logCritical(logName() + ": Can't connect to server at '" + address.toString().toStdString() + "'");
            std::exit(-4);
        }
    }

    if (success) {
        if (isDebugEnabled())
            logDebug(logName() + ": Loaded" + kind + " page '" + maskedUrlText(address) + "'");
        if (!clientKioskModeEnabled.get() && (signIn || signOut || brokerSignIn || brokerSignOut)) {
            if (saveInitialGeometry()) {
                if (isDebugEnabled()) logDebug(logName() + ": Saved initial page geometry");
            } else {
                if (isDebugEnabled()) logDebug(logName() + ": Reverting window to initial page geometry");
                setInitialScreenSize(!signOut || brokerSignIn || brokerSignOut);
            }
        }
        QPointer<ClientWebViewConnect> self(this);
        page()->toHtml([self](const QString& text) {
            if (self) emit self->html(text);
        });
    } else {
        if (isDebugEnabled()) logDebug(logName() + ": Failed to load URL: '" + maskedUrlText(address) + "'");
        if (lastWasMain && (signIn || mainPage)) {
            if (isDebugEnabled()) logDebug(logName() + ": Reloading main page");
            lastServerPageUrl = QUrl();
        } else if (connectDialog != nullptr) {
            auth(logName() + ": Showing connect dialog: " + lastServerPageUrl.toString().toStdString() + " -> " +
                 address.toString().toStdString());
            connectDialog->hideSpinner();
            connectDialog->showError("Can't connect.  Verify the server is reachable at this address.");
            connectDialog->connectWithRetry(address);
        } else if (isBrokerServiceEnabled()) {
            if (isDebugEnabled())
                logDebug(logName() + ": Reconnecting to broker '" + brokerUrlText() + "'");
            QUrl broker = brokerUrl();
            emit acceptConnect(broker);
            return;
        }
    }

    if (isClosing()) return;

    if (signIn) {
        const std::string user = sessionUserName();
        const std::string password = sessionPassword();
        if (!user.empty()) {
            auth(logName() + ": Setting user name to " + user);
            setInputValueById(this, "inputUsername", user, "inputPassword");
        }
        if (!password.empty()) {
            auth(logName() + ": Setting user password");
            setInputValueById(this, "inputPassword", password, "signin-btn");
        }
        if (!user.empty() && !password.empty() && (qor::autoSignInAllowed.load() || isBrokerServiceEnabled())) {
            auth(logName() + ": Submitting sign-in form");
            clickElementById(this, "signin-btn");
        }
    }

    if (clientKioskModeEnabled.get()) {
        runScript(PageScripts::hideFullScreenControl);
        if (isDebugEnabled())
            logDebug(logName() + ": Disabled fullscreen control on client web page " + maskedUrlText(address));
    }

    if (mainPage) {
        if (isBrokerServiceEnabled()) {
            setBrokerUrlInPage(page(), brokerUrl());
        } else if (isDebugEnabled()) {
            logDebug("ClientDebug: Not setting broker URL in web client, broker service not enabled");
        }
    }

    page()->runJavaScript(PageScripts::csrfToken, [](const QVariant& result) { storeCsrfToken(result); });

    if (brokerSignIn && hasBrokerCredentials()) {
        if (isDebugEnabled()) logDebug("Signing into broker, user = " + brokerUserName());
        signIntoBroker(this, brokerUserName(), brokerPassword());
    }

    // The nonce opens the js-bridge: only the server's own pages get it.
    // Pages of another host get it once their HTML shows the server marker.
    noncePage = QUrl();
    if (!brokerHost && sameHost(address, serverUrl())) giveBridgeNonce();

    queryBackgroundColor();
    updateWindowTitle(address);
    if (isFullScreen()) showFullScreenControls(false);
}

void ClientWebViewConnect::giveBridgeNonce() {
    noncePage = page() != nullptr ? page()->url() : QUrl();
    qor::renewBridgeNonce();
    runScript(PageScripts::bridgeNonce(qor::bridgeNonce()));
}

void ClientWebViewConnect::handleHTML(QString html) {
    if (isDebugEnabled()) logDebug(">> handleHTML()");
    const bool marker = hasServerPageMarker(html);
    if (marker) {
        if (isConnectedToBroker()) {
            if (isDebugEnabled()) logDebug("ClientDebug: Connected to server, disconnected from broker");
            disconnectFromBroker();
        } else if (isDebugEnabled()) {
            logDebug("ClientDebug: Connected to server");
        }
    } else if (isBrokerServiceEnabled()) {
        if (isDebugEnabled()) logDebug("Connected to broker");
    } else {
        if (isDebugEnabled()) logDebug("Invalid connection request");
    }

    if (marker || isBrokerServiceEnabled()) {
        if (connectDialog != nullptr && connectDialog->isVisible()) {
            connectDialog->close();
            connectDialog->saveHistory();
        }
        if (marker) {
            const QUrl pageUrl = page() != nullptr ? page()->url() : QUrl();
            lastServerPageUrl = pageUrl;
            lastFrameWidth = lastFrameHeight = 0;
            contentWidth = contentHeight = 0;
            if (isDebugEnabled()) logDebug(logName() + ": Compatible server found");
            if (hasStartServerUrl()) {
                if (isDebugEnabled()) logDebug(logName() + ": Setting server url");
                assignServerUrl(startServerUrl());
                std::string error;
                setServerUrl(serverUrlText(), error);
            }
            // A server page that the load handler did not know as one.
            if (!isBrokerHostPage(pageUrl) && noncePage != pageUrl) giveBridgeNonce();
            showWindows();
            setWindowsMinimumSize(300, 80);
        } else {
            setConnectedToBroker();
            resetServerInformation();
        }
    } else {
        resetServerInformation();
        resetBrokerInformation();
        if (connectDialog != nullptr) {
            if (isDebugEnabled()) logDebug(logName() + ": " + noServerSoftware);
            connectDialog->showError(noServerSoftware);
            connectDialog->connectWithRetry(QUrl(connectDialog->currentText()));
        } else {
            logError(logName() + ": " + noServerSoftware);
        }
    }
    if (isDebugEnabled()) logDebug("<< handleHTML()");
}
