// The trusted CA certificates of a Linux system: the bundle that
// ca-certificates builds, or the file that SSL_CERT_FILE names (OpenSSL's
// own variable for it, with which tests trust a CA of their own).
#include "ServerCertificateCheck.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>

namespace qor {

bool loadTrustedCaCertificates(SSL_CTX* context, std::string& source) {
    const char* variable = std::getenv("SSL_CERT_FILE");
    const std::string file =
        variable != nullptr && *variable != '\0' ? variable : "/etc/ssl/certs/ca-certificates.crt";
    source = "'" + file + "'";
    if (SSL_CTX_load_verify_locations(context, file.c_str(), nullptr) == 1) return true;
    // Leave no error behind for the handshake's own error report.
    ERR_clear_error();
    return false;
}

} // namespace qor
