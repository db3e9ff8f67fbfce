#include "NonInteractiveCertificateHandler.h"

#include "ClientSettings.h"
#include "Logging.h"

#include <Poco/Net/VerificationErrorArgs.h>

NonInteractiveCertificateHandler::NonInteractiveCertificateHandler(bool handleErrorsOnServerSide)
    : Poco::Net::InvalidCertificateHandler(handleErrorsOnServerSide) {}

NonInteractiveCertificateHandler::~NonInteractiveCertificateHandler() = default;

void NonInteractiveCertificateHandler::onInvalidCertificate(const void*, Poco::Net::VerificationErrorArgs& errorCert) {
    const bool ignore = clientIgnoreCertificateError.get();
    const std::string details =
        errorCert.errorMessage() + " (subject '" + errorCert.certificate().subjectName() + "')";
    logWarning((ignore ? "Ignoring certificate error: " : "Rejecting certificate: ") + details);
    errorCert.setIgnoreError(ignore);
}
