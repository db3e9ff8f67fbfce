#include "BrokerSession.h"

#include "ClientSettings.h"
#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

namespace {

// The address in its normal form, or "" with the reason.
std::string normalizedHttpAddress(const std::string& url, std::string& error) {
    try {
        Poco::URI uri(url);
        if (uri.getScheme() != "http" && uri.getScheme() != "https") {
            error = "Unsupported scheme '" + uri.getScheme() + "'";
            return std::string();
        }
        if (uri.getHost().empty()) {
            error = "No host in address";
            return std::string();
        }
        if (uri.getPath().empty()) uri.setPath("/");
        return uri.toString();
    } catch (const Poco::Exception& e) {
        error = e.displayText();
        return std::string();
    }
}

} // namespace

BrokerSession& BrokerSession::instance() {
    static BrokerSession session;
    return session;
}

bool initStartServerUrl(const std::string& url, std::string& error) {
    const std::string address = normalizedHttpAddress(url, error);
    if (address.empty()) return false;
    BrokerSession::instance().startServerUrl = address;
    BrokerSession::instance().startServerUrlSet = true;
    return true;
}

bool initBrokerUrl(const std::string& url) {
    std::string error;
    const std::string address = normalizedHttpAddress(url, error);
    if (address.empty()) {
        logError("Invalid broker address: " + error);
        return false;
    }
    BrokerSession::instance().brokerUrl = address;
    BrokerSession::instance().brokerEnabled = true;
    return true;
}

void setPendingConnectMessage(const std::string& text) { BrokerSession::instance().pendingConnectMessage = text; }

void resetSessionInformation() {
    BrokerSession& session = BrokerSession::instance();
    if (isDebugEnabled()) logDebug("Resetting current session server information");
    session.userName = clientUsername.get();
    session.password = clientPassword.get();
    session.ignoreCertificateErrors = clientIgnoreCertificateError.get();
    if (isDebugEnabled()) logDebug("Resetting current session broker information");
    session.brokerUserName = clientBrokerUsername.get();
    session.brokerPassword = clientBrokerPassword.get();
}

bool needsConnectDialog() {
    const BrokerSession& session = BrokerSession::instance();
    return !session.startServerUrlSet && !session.brokerEnabled;
}
