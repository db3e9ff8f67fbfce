#include "ClientProtocolHandler.h"

#include "BrokerSession.h"
#include "Logging.h"
#include "WebResources.h"

#include <QUrlQuery>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>

namespace {

const char* const schemeName = "qdk";

ClientProtocolHandler* processHandler = nullptr;

// The address for log lines: user information and query (which may hold
// passwords) left out.
std::string addressForLog(const QUrl& url) {
    return url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toStdString();
}

} // namespace

ClientProtocolHandler::ClientProtocolHandler() : scheme_(QByteArray(schemeName)) {
    scheme_.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalAccessAllowed |
                     QWebEngineUrlScheme::ViewSourceAllowed | QWebEngineUrlScheme::ContentSecurityPolicyIgnored |
                     QWebEngineUrlScheme::CorsEnabled);
}

ClientProtocolHandler::~ClientProtocolHandler() = default;

void ClientProtocolHandler::requestStarted(QWebEngineUrlRequestJob* job) {
    if (isDebugEnabled()) logDebug(std::string("ClientProtocolHandler called for '") + schemeName + "'");
    const QByteArray method = job->requestMethod();
    const QUrl url = job->requestUrl();
    if (!validateUrl(url)) {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
    } else if (method != "GET") {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
    } else {
        job->redirect(rewriteUrl(url));
    }
}

bool ClientProtocolHandler::validateUrl(const QUrl& url) {
    if (!url.isValid()) {
        logError("ProtocolHandler: Invalid URL '" + addressForLog(url) + "'");
        return false;
    }
    if (url.scheme() != QLatin1String(schemeName)) {
        logError("ProtocolHandler: Unsupported scheme '" + addressForLog(url) + "'");
        return false;
    }
    return true;
}

QUrl ClientProtocolHandler::rewriteUrl(const QUrl& url) {
    QUrl target;
    target.setHost(url.host(QUrl::FullyDecoded));
    target.setPath(url.path(QUrl::FullyDecoded));
    if (url.port() > 0) target.setPort(url.port());
    if (isTraceEnabled()) logTrace("ClientProtocolHandler created URL " + target.toString().toStdString());

    const QUrlQuery query(url);
    // Fully decoded, so that "%26" in a password arrives as "&".
    const auto value = [&query](const char* key) {
        return query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded).toStdString();
    };
    const auto has = [&query](const char* key) { return query.hasQueryItem(QLatin1String(key)); };

    if (has("user"))
        setSessionUserName(value("user"));
    else if (has("username"))
        setSessionUserName(value("username"));
    if (has("broker-user")) setBrokerUserName(value("broker-user"));
    if (has("secure")) target.setScheme(QStringLiteral("https"));
    if (target.scheme().isEmpty()) target.setScheme(target.port() == 80 ? QStringLiteral("http") : QStringLiteral("https"));
    if (has("password")) {
        if (isBrokerHttps()) {
            if (isDebugEnabled()) logDebug("Setting user password in query");
            setSessionPassword(value("password"));
        } else {
            logError("Broker URL defines 'password' parameter, which is only accepted over https client/broker "
                     "connection.");
            logError("Ignoring 'password' parameter.");
        }
    }
    if (has("broker-password")) {
        if (isBrokerHttps()) {
            if (isDebugEnabled()) logDebug("Setting broker password");
            setBrokerPassword(value("broker-password"));
        } else {
            logError("Broker URL defines 'broker-password' parameter, which is only accepted over https "
                     "client/broker connection.");
            logError("Ignoring 'broker-password' parameter.");
        }
    }
    if (has("ignoreSSLError")) setIgnoreCertificateErrors(true);
    if (has("global")) {
        setBrokerUserName(sessionUserName());
        setBrokerPassword(sessionPassword());
    }
    return target;
}

void registerUrlScheme() {
    if (processHandler != nullptr) return;
    initWebResources();
    auto* handler = new ClientProtocolHandler();
    QWebEngineUrlScheme::registerScheme(handler->scheme());
    processHandler = handler;
}

void installSchemeHandler(QWebEngineProfile* profile) {
    if (processHandler == nullptr || profile == nullptr) return;
    profile->installUrlSchemeHandler(QByteArray(schemeName), processHandler);
    if (isTraceEnabled()) logTrace(std::string("ClientProtocolHandler installed for '") + schemeName + "'");
}

ClientProtocolHandler* clientProtocolHandler() { return processHandler; }
