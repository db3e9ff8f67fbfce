// Accepts certificate errors of the client side of TLS for the whole
// process: the first one is logged as a warning, every one is ignored so
// that the handshake goes on. The page fetches install it; the server
// connections do not consult it (ServerCertificateCheck).
#pragma once

#include <Poco/Net/InvalidCertificateHandler.h>

class MyInvalidCertificateHandler : public Poco::Net::InvalidCertificateHandler {
public:
    MyInvalidCertificateHandler();
    ~MyInvalidCertificateHandler() override;

    void onInvalidCertificate(const void* sender, Poco::Net::VerificationErrorArgs& errorCert) override;
};
