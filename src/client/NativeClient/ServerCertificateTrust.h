// The page's trust decision about a server's TLS certificate, handed from
// the web side to the server connections (control, video, tunnels), which
// carry the session cookie and so must trust no more than the browser did:
//
//   - nothing recorded: the browser showed the server's pages without a
//     certificate error, so the connections verify the certificate against
//     the system's CA certificates and the host name;
//   - pinned certificates: the user accepted a certificate error in the
//     dialog; the connections accept exactly those certificates (the SHA-256
//     of their DER form) besides one that verifies as above;
//   - errors ignored: --ignoreSSLError or Client.IgnoreCertificateError (or
//     the ignoreSSLError item of a qdk address) was in force for the server's
//     page; the connections check nothing.
//
// One record per host (compared without letter case and without the
// brackets of an IPv6 address). The web side writes on the GUI thread, the
// connections read on their own threads: every operation takes one lock.
#pragma once

#include <set>
#include <string>

namespace qor {

class ServerCertificateTrust {
public:
    bool ignoreErrors = false;
    // Lower-case hexadecimal SHA-256 of the accepted certificates.
    std::set<std::string> pinnedSha256;

    // The record of the host; an empty one (verify) when nothing was written.
    static ServerCertificateTrust forHost(const std::string& host);
    // Whether certificate errors of the host are ignored; pins stay.
    static void setIgnoreErrors(const std::string& host, bool ignore);
    // Adds the certificate (DER bytes) to the host's accepted certificates
    // and returns its fingerprint.
    static std::string pinCertificate(const std::string& host, const std::string& der);
    // Forgets every host (tests).
    static void forgetAll();
};

// Lower-case hexadecimal SHA-256 of the bytes (a certificate's DER form).
std::string certificateSha256(const std::string& der);

} // namespace qor
