#include "ServerCertificateCheck.h"

#include "Logging.h"

#include <Poco/Net/IPAddress.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace qor {

namespace {

// POCO's default list without the anonymous suites, which bring no
// certificate to check.
const char* const checkedCipherList = "ALL:!ADH:!aNULL:!LOW:!EXP:!MD5:@STRENGTH";

std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// Tells OpenSSL's verification which name or address the certificate must
// be for; false when the host can be given as neither.
bool expectHost(SSL_CTX* context, const std::string& host) {
    const std::string name = withoutBrackets(host);
    if (name.empty()) return false;
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context);
    Poco::Net::IPAddress address;
    if (Poco::Net::IPAddress::tryParse(name, address)) return X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    // Only the certificate's DNS names count, as in the browser: a subject
    // CN is never taken for the host name, also when no DNS name is given.
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1;
}

std::string derOf(X509* certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(certificate, &bytes);
    std::string der;
    if (length > 0) der.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return der;
}

std::string subjectOf(X509* certificate) {
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    return subject;
}

} // namespace

ServerCertificateCheck::ServerCertificateCheck(const std::string& host, const ServerCertificateTrust& trust,
                                               bool nameExpected)
    : host_(host), trust_(trust), nameExpected_(nameExpected) {}

Poco::Net::Context::Ptr ServerCertificateCheck::newClientContext(const std::string& host) {
    const ServerCertificateTrust trust = ServerCertificateTrust::forHost(host);
    Poco::Net::Context::Params params;
    if (trust.ignoreErrors) {
        componentDebug(LogComponentMask::SSL,
                       "Not checking the certificate of server '" + host + "': certificate errors are ignored");
        params.verificationMode = Poco::Net::Context::VERIFY_NONE;
        return new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, params);
    }

    params.verificationMode = Poco::Net::Context::VERIFY_RELAXED;
    params.cipherList = checkedCipherList;
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, params);
    // OpenSSL checks the name during the handshake; POCO's check after it
    // would only repeat it, less strictly.
    context->enableExtendedCertificateVerification(false);
    SSL_CTX* ssl = context->sslContext();
    std::string source;
    if (!loadTrustedCaCertificates(ssl, source)) logError("Can't load the trusted CA certificates from " + source);
    auto* check = new ServerCertificateCheck(host, trust, expectHost(ssl, host));
    if (!attach(ssl, check)) {
        delete check;
        check = nullptr;  // verifyPeer then refuses every certificate
    }
    SSL_CTX_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ssl, &ServerCertificateCheck::verifyPeer, check);
    std::string against = source;
    if (!trust.pinnedSha256.empty())
        against += " and " + std::to_string(trust.pinnedSha256.size()) + " certificate(s) accepted for its page";
    componentDebug(LogComponentMask::SSL, "Checking the certificate of server '" + host + "' against " + against);
    return context;
}

bool ServerCertificateCheck::attach(SSL_CTX* context, ServerCertificateCheck* check) {
    static const int index = SSL_CTX_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<ServerCertificateCheck*>(data);
        });
    return index >= 0 && SSL_CTX_set_ex_data(context, index, check) == 1;
}

int ServerCertificateCheck::verifyPeer(X509_STORE_CTX* store, void* check) {
    if (check == nullptr) {
        logError("Refused a server certificate: the check could not be set up");
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    return static_cast<const ServerCertificateCheck*>(check)->accepts(store) ? 1 : 0;
}

bool ServerCertificateCheck::accepts(X509_STORE_CTX* store) const {
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf == nullptr) {
        logError("Refused the certificate of server '" + host_ + "': the server sent none");
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return false;
    }
    const std::string fingerprint = certificateSha256(derOf(leaf));
    if (trust_.pinnedSha256.count(fingerprint) != 0) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        componentDebug(LogComponentMask::SSL, "Accepted the certificate of server '" + host_ +
                                                  "' that was accepted for its page (SHA-256 " + fingerprint + ")");
        return true;
    }
    std::string reason;
    if (!nameExpected_) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        reason = "the host name cannot be checked";
    } else if (X509_verify_cert(store) == 1) {
        return true;
    } else {
        reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    }
    if (!trust_.pinnedSha256.empty()) reason = "not the certificate accepted for its page, and " + reason;
    logError("Refused the certificate of server '" + host_ + "': " + reason + " (subject '" + subjectOf(leaf) +
             "', SHA-256 " + fingerprint + ")");
    return false;
}

} // namespace qor
