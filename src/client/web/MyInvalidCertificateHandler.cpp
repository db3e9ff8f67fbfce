#include "MyInvalidCertificateHandler.h"

#include "Logging.h"

#include <Poco/Net/VerificationErrorArgs.h>

#include <atomic>

namespace {

// One warning per process, whichever thread meets the first bad certificate.
std::atomic<bool> certificateWarningLogged{false};

} // namespace

MyInvalidCertificateHandler::MyInvalidCertificateHandler() : Poco::Net::InvalidCertificateHandler(false) {}

MyInvalidCertificateHandler::~MyInvalidCertificateHandler() = default;

void MyInvalidCertificateHandler::onInvalidCertificate(const void*, Poco::Net::VerificationErrorArgs& errorCert) {
    if (!certificateWarningLogged.exchange(true)) logWarning("Received invalid ssl certificate notification");
    errorCert.setIgnoreError(true);
}
