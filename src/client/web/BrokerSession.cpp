#include "BrokerSession.h"

#include "ClientSettings.h"
#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/String.h>
#include <Poco/URI.h>

#include <algorithm>
#include <utility>

namespace {

std::function<void(const std::string&)>& currentServerHostHandler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

std::string& pendingConnectMessage() {
    static std::string message;
    return message;
}

// Host names may hold letters, digits and the few marks of IDN, IPv4 and
// IPv6 forms; a blank, a quote or a bracket in the middle makes the address
// unusable for the browser and the fetch alike.
bool isUsableHost(const std::string& host) {
    if (host.empty()) return false;
    for (const char c : host) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return false;
        if (c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' || c == '{' ||
            c == '|' || c == '}' || c == '[' || c == ']' || c == '@' || c == '/' || c == '?' || c == '#')
            return false;
    }
    return true;
}

// scheme://[userinfo@]host:port/path?query#fragment with the port always
// written out (POCO leaves out the scheme's default port).
std::string normalizedText(const Poco::URI& uri) {
    std::string text = uri.getScheme() + "://";
    if (!uri.getUserInfo().empty()) text += uri.getUserInfo() + "@";
    const std::string& host = uri.getHost();
    if (host.find(':') != std::string::npos)
        text += "[" + host + "]";
    else
        text += host;
    text += ":" + std::to_string(uri.getPort());
    text += uri.getPathEtc();
    return text;
}

const char* const onlyHttpError = "Only https and http URLs are supported.";
const char* const invalidUrlError = "Verify the address is a valid URL.";

bool normalizeParsed(const std::string& address, std::string& normalized, std::string& error) {
    Poco::URI uri;
    try {
        uri = Poco::URI(address);
    } catch (const Poco::Exception&) {
        error = invalidUrlError;
        return false;
    }
    if (uri.empty()) return false;
    if (uri.getScheme().empty()) {
        componentDebug(LogComponentMask::NET, "Defaulting URL to 'https://', please specify protocol next time.");
        return normalizeUrlText("https://" + address, normalized, error);
    }
    if (uri.getScheme() != "https" && uri.getScheme() != "http") {
        error = onlyHttpError;
        return false;
    }
    if (uri.getSpecifiedPort() < 1) uri.setPort(uri.getScheme() == "https" ? 443 : 80);
    if (uri.getPath().empty()) uri.setPath("/");
    uri.setHost(Poco::toLower(uri.getHost()));
    if (!isUsableHost(uri.getHost())) {
        error = invalidUrlError;
        return false;
    }
    normalized = normalizedText(uri);
    return true;
}

std::string hostOf(const std::string& address) {
    try {
        return Poco::URI(address).getHost();
    } catch (const Poco::Exception&) {
        return std::string();
    }
}

} // namespace

BrokerSession& BrokerSession::instance() {
    static BrokerSession session;
    return session;
}

std::string brokerUrlText() { return BrokerSession::instance().brokerUrl; }
std::string serverUrlText() { return BrokerSession::instance().serverUrl; }
std::string startServerUrlText() { return BrokerSession::instance().startServerUrl; }
std::string sessionUserName() { return BrokerSession::instance().sessionUserName; }
std::string sessionPassword() { return BrokerSession::instance().sessionPassword; }
std::string brokerUserName() { return BrokerSession::instance().brokerUserName; }
std::string brokerPassword() { return BrokerSession::instance().brokerPassword; }
bool ignoreCertificateErrors() { return BrokerSession::instance().ignoreCertificateErrors; }
bool hasStartServerUrl() { return BrokerSession::instance().startServerUrlGiven; }
bool isBrokerServiceEnabled() { return BrokerSession::instance().brokerServiceEnabled; }
bool isConnectedToBroker() { return BrokerSession::instance().connectedToBroker; }

bool isBrokerHttps() {
    const BrokerSession& session = BrokerSession::instance();
    return session.brokerServiceEnabled && session.brokerUrl.compare(0, 8, "https://") == 0;
}

bool hasBrokerCredentials() {
    const BrokerSession& session = BrokerSession::instance();
    return !session.brokerUserName.empty() && !session.brokerPassword.empty();
}

bool needsConnectDialog() { return !hasStartServerUrl() && !isBrokerServiceEnabled(); }

void setSessionUserName(std::string name) { BrokerSession::instance().sessionUserName = std::move(name); }
void setSessionPassword(std::string password) { BrokerSession::instance().sessionPassword = std::move(password); }
void setBrokerUserName(std::string name) { BrokerSession::instance().brokerUserName = std::move(name); }
void setBrokerPassword(std::string password) { BrokerSession::instance().brokerPassword = std::move(password); }
void setIgnoreCertificateErrors(bool ignore) { BrokerSession::instance().ignoreCertificateErrors = ignore; }

bool normalizeUrlText(std::string address, std::string& normalized, std::string& error) {
    error.clear();
    std::string result;
    if (!normalizeParsed(address, result, error)) {
        normalized.clear();
        return false;
    }
    normalized = std::move(result);
    return true;
}

bool normalizeUrlText(std::string address, std::string& normalized) {
    std::string error;
    return normalizeUrlText(std::move(address), normalized, error);
}

void assignServerUrlText(std::string address) { BrokerSession::instance().serverUrl = std::move(address); }

bool setServerUrl(std::string address, std::string& error) {
    std::string normalized;
    if (!normalizeUrlText(std::move(address), normalized, error)) return false;
    BrokerSession::instance().serverUrl = normalized;
    componentDebug(LogComponentMask::NET, "Setting current server URL " + addressForLog(normalized));
    if (currentServerHostHandler()) currentServerHostHandler()(hostOf(normalized));
    return true;
}

std::string serverHostOf(std::string address) {
    std::string normalized;
    return normalizeUrlText(std::move(address), normalized) ? hostOf(normalized) : std::string();
}

bool initStartServerUrl(std::string address, std::string& error) {
    std::string normalized;
    if (!normalizeUrlText(std::move(address), normalized, error)) return false;
    BrokerSession& session = BrokerSession::instance();
    session.startServerUrl = normalized;
    session.startServerUrlGiven = true;
    return true;
}

bool initBrokerUrl(std::string address) {
    if (address.empty()) return false;
    std::string normalized;
    std::string error;
    if (!normalizeUrlText(address, normalized, error)) {
        componentDebug(LogComponentMask::NET,
                       "Error initializing broker URL '" + addressForLog(address) + "', error '" + error + "'");
        return false;
    }
    BrokerSession& session = BrokerSession::instance();
    session.brokerUrl = normalized;
    session.brokerServiceEnabled = true;
    componentDebug(LogComponentMask::NET, "Initialized broker URL '" + addressForLog(normalized) + "'");
    return true;
}

void setConnectedToBroker() {
    BrokerSession& session = BrokerSession::instance();
    if (!session.connectedToBroker && isDebugEnabled()) logDebug("Connected to broker service");
    session.connectedToBroker = true;
}

void disconnectFromBroker() {
    BrokerSession& session = BrokerSession::instance();
    if (session.connectedToBroker) componentDebug(LogComponentMask::NET, "Disconnected from broker service");
    session.connectedToBroker = false;
}

void resetServerInformation() {
    componentDebug(LogComponentMask::NET, "Resetting current session server information");
    BrokerSession& session = BrokerSession::instance();
    session.sessionUserName = clientUsername.get();
    session.sessionPassword = clientPassword.get();
    session.ignoreCertificateErrors = clientIgnoreCertificateError.get();
    session.serverUrl.clear();
}

void resetBrokerInformation() {
    if (isDebugEnabled()) logDebug("Resetting current session broker information");
    BrokerSession& session = BrokerSession::instance();
    session.brokerUserName = clientBrokerUsername.get();
    session.brokerPassword = clientBrokerPassword.get();
}

void resetSessionInformation() {
    resetServerInformation();
    resetBrokerInformation();
}

void setCurrentServerHostHandler(std::function<void(const std::string&)> handler) {
    currentServerHostHandler() = std::move(handler);
}

std::string addressForLog(const std::string& address) {
    // Without a scheme the text may begin with the user information.
    const std::string::size_type schemeEnd = address.find("://");
    const std::string::size_type authority = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const std::string::size_type authorityEnd = std::min(address.find_first_of("/?#", authority), address.size());
    const std::string::size_type at = address.rfind('@', authorityEnd);
    const std::string::size_type colon = address.find(':', authority);
    std::string shown = address;
    if (at != std::string::npos && at >= authority && colon != std::string::npos && colon < at)
        shown = address.substr(0, colon + 1) + "***" + address.substr(at);
    // Password items of the query (qdk hand-over addresses carry them).
    const std::string::size_type query = shown.find('?');
    if (query == std::string::npos) return shown;
    std::string::size_type item = query + 1;
    for (;;) {
        // Masking changes lengths: find the end of the query anew each time.
        const std::string::size_type fragment = std::min(shown.find('#', query), shown.size());
        if (item >= fragment) break;
        std::string::size_type itemEnd = std::min(shown.find('&', item), fragment);
        const std::string::size_type equals = shown.find('=', item);
        if (equals < itemEnd) {
            const std::string name = shown.substr(item, equals - item);
            if (name == "password" || name == "broker-password") {
                shown.replace(equals + 1, itemEnd - equals - 1, "***");
                itemEnd = equals + 4;
            }
        }
        item = itemEnd + 1;
    }
    return shown;
}

void setPendingConnectMessage(const std::string& text) { pendingConnectMessage() = text; }

std::string takePendingConnectMessage() {
    std::string message;
    message.swap(pendingConnectMessage());
    return message;
}
