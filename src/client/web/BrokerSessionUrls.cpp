#include "BrokerSession.h"

#include "Logging.h"
#include "PageForms.h"

#include <QUrlQuery>

#include <utility>

namespace {

QUrl urlOf(const std::string& text) { return text.empty() ? QUrl() : QUrl(QString::fromStdString(text)); }

QString decodedHost(const QUrl& url) { return url.host(QUrl::FullyDecoded); }

bool isServerPage(const QUrl& url) {
    return urlIsPage(url, "signin.html") || urlIsPage(url, "signout.html") || urlIsPage(url, "quarrydesk.html");
}

} // namespace

QUrl brokerUrl() { return urlOf(brokerUrlText()); }
QUrl serverUrl() { return urlOf(serverUrlText()); }
QUrl startServerUrl() { return urlOf(startServerUrlText()); }

void assignServerUrl(QUrl url) { assignServerUrlText(url.isEmpty() ? std::string() : url.toString().toStdString()); }

bool setServerUrl(QString address, QString& error) {
    std::string reason;
    const bool ok = setServerUrl(address.toStdString(), reason);
    error = QString::fromStdString(reason);
    return ok;
}

bool normalizeUrl(QString address, QUrl& url, QString& error) {
    std::string normalized;
    std::string reason;
    const bool ok = normalizeUrlText(address.toStdString(), normalized, reason);
    error = QString::fromStdString(reason);
    if (ok) url = QUrl(QString::fromStdString(normalized));
    return ok;
}

bool urlIsPage(const QUrl& url, std::string page) {
    const QString path = url.path(QUrl::FullyDecoded);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1) == QString::fromStdString(page);
}

bool isBrokerHostPage(const QUrl& url) {
    return isBrokerServiceEnabled() && decodedHost(url) == decodedHost(brokerUrl()) && !isServerPage(url);
}

bool isBrokerSignInPage(const QUrl& url) {
    if (!isBrokerHostPage(url) || QUrlQuery(url).hasQueryItem(QStringLiteral("r"))) return false;
    const QString path = url.path(QUrl::FullyDecoded);
    return path.isEmpty() || path == QLatin1String("/") || path == QLatin1String("/index.pl");
}

bool isBrokerSignOutPage(const QUrl& url) {
    return isBrokerHostPage(url) && url.path(QUrl::FullyDecoded).contains(QLatin1String("logout"));
}

bool isBrokerUrl(const QUrl& url) {
    if (url.isEmpty()) return false;
    if (!isBrokerServiceEnabled() || decodedHost(url) != decodedHost(brokerUrl())) return false;
    if (isServerPage(url)) return false;
    componentDebug(LogComponentMask::BROKER | LogComponentMask::SMGNT | LogComponentMask::QTGUI,
                   "Allowing navigation.  Url from broker server: " + brokerUrl().host().toStdString());
    return true;
}

bool isServerUrl(const QUrl& url) {
    if (url.isEmpty()) return false;
    if (decodedHost(url) == decodedHost(serverUrl())) return true;
    componentDebug(LogComponentMask::NET,
                   "Rejecting navigation.Url must be from sign - in host : '" + serverUrl().host().toStdString() + "'");
    return false;
}

std::string maskedUrlText(const QUrl& url) {
    QUrl masked;
    masked.setHost(url.host(QUrl::FullyDecoded));
    masked.setPath(url.path(QUrl::FullyDecoded));
    if (url.port() > 0) masked.setPort(url.port());
    const QUrlQuery query(url);
    QUrlQuery kept;
    if (query.hasQueryItem(QStringLiteral("user")) || query.hasQueryItem(QStringLiteral("username")))
        kept.addQueryItem(QStringLiteral("user"), QStringLiteral("-----"));
    if (query.hasQueryItem(QStringLiteral("secure")))
        masked.setScheme(QStringLiteral("https"));
    else
        masked.setScheme(url.port() == 80 ? QStringLiteral("http") : QStringLiteral("https"));
    if (query.hasQueryItem(QStringLiteral("password")))
        kept.addQueryItem(QStringLiteral("password"), QStringLiteral("-----"));
    if (!kept.isEmpty()) masked.setQuery(kept);
    return masked.toString().toStdString();
}

void signIntoBroker(QWebEngineView* view, std::string userName, std::string password) {
    fillBrokerSignInForm(view, std::move(userName), std::move(password));
}
