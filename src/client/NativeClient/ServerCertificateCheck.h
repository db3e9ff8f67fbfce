// The TLS client side of the server connections: the one place that builds
// the context of each session and checks the server's certificate in the
// handshake by the trust the web side recorded for the host
// (ServerCertificateTrust). A refused certificate is logged and ends the
// handshake, so the session's first request fails like any network failure.
//
// The check is OpenSSL's own chain and host-name verification, or the
// SHA-256 of the leaf certificate against the pinned ones. It does not go
// through POCO's verification callback or the SSL manager's certificate
// handler: that handler is process-wide and accepts every error.
#pragma once

#include "ServerCertificateTrust.h"

#include <Poco/Net/Context.h>

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace qor {

class ServerCertificateCheck {
public:
    // A new client context for one session to the host.
    static Poco::Net::Context::Ptr newClientContext(const std::string& host);

    ServerCertificateCheck(const ServerCertificateCheck&) = delete;
    ServerCertificateCheck& operator=(const ServerCertificateCheck&) = delete;

private:
    ServerCertificateCheck(const std::string& host, const ServerCertificateTrust& trust, bool nameExpected);

    // OpenSSL's certificate verification of the context: 1 accepts.
    static int verifyPeer(X509_STORE_CTX* store, void* check);
    // Attaches the check to the context, which deletes it when it goes.
    static bool attach(SSL_CTX* context, ServerCertificateCheck* check);
    bool accepts(X509_STORE_CTX* store) const;

    const std::string host_;
    const ServerCertificateTrust trust_;
    // The host name or address was given to OpenSSL's verification.
    const bool nameExpected_;
};

// Platform part: adds the system's trusted CA certificates to the context's
// certificate store and names where they came from; false when they cannot
// be read.
bool loadTrustedCaCertificates(SSL_CTX* context, std::string& source);

} // namespace qor
