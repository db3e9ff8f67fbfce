// The process-wide choice of start server and broker that the start-up
// makes and the web side reads: the start server address, the broker
// address, the sign-in credentials and the message the connect dialog shows
// first. The web side takes it over; start-up only needs these operations.
#pragma once

#include <string>

class BrokerSession {
public:
    static BrokerSession& instance();

    std::string startServerUrl;
    bool startServerUrlSet = false;
    std::string brokerUrl;
    bool brokerEnabled = false;

    std::string userName;
    std::string password;
    bool ignoreCertificateErrors = false;
    std::string brokerUserName;
    std::string brokerPassword;

    std::string pendingConnectMessage;
};

// Normalises a server address into the start server address; false with an
// error text for a scheme other than http/https or an invalid address.
bool initStartServerUrl(const std::string& url, std::string& error);
// Normalises a broker address and turns the broker on; false (with an error
// line) for an invalid address.
bool initBrokerUrl(const std::string& url);
// A message the next connect dialog shows once on its error line.
void setPendingConnectMessage(const std::string& text);
// Takes the server and broker credentials from the settings.
void resetSessionInformation();
// True when neither a start server nor a broker was chosen.
bool needsConnectDialog();
