// The handler of certificate verification errors that stands in for every
// console handler: it never asks. It accepts the certificate only when the
// user told the client to ignore certificate errors
// (Client.IgnoreCertificateError) and logs what it decided.
#pragma once

#include <Poco/Net/InvalidCertificateHandler.h>

class NonInteractiveCertificateHandler : public Poco::Net::InvalidCertificateHandler {
public:
    explicit NonInteractiveCertificateHandler(bool handleErrorsOnServerSide);
    ~NonInteractiveCertificateHandler() override;

    void onInvalidCertificate(const void* sender, Poco::Net::VerificationErrorArgs& errorCert) override;
};
