// TLS certificates for tests, made by the openssl program at test time:
// self-signed ones (as a server whose certificate the user accepts), a test
// CA and server certificates it signs (a valid chain, trusted by pointing
// SSL_CERT_FILE at the CA), and the DER form and SHA-256 of a certificate
// as openssl computes them.
#pragma once

#include <string>

struct CertificateFiles {
    std::string certificate;  // PEM
    std::string key;          // PEM, unencrypted
};

// NAME.pem and NAME-key.pem in dir: an EC P-256 certificate for the subject
// CN, valid for two days.
CertificateFiles selfSignedCertificate(const std::string& dir, const std::string& name,
                                       const std::string& commonName = "127.0.0.1");
// A CA certificate ("Quarrydesk Test CA") and its key.
CertificateFiles testCaCertificate(const std::string& dir, const std::string& name);
// A server certificate signed by the CA, for the subject alternative names
// (e.g. "IP:127.0.0.1,DNS:localhost"); with none given it has no such
// extension, and its subject CN (the name) is its only name.
CertificateFiles caSignedCertificate(const std::string& dir, const std::string& name, const CertificateFiles& ca,
                                     const std::string& subjectAltNames);

// The certificate's DER bytes.
std::string certificateDer(const std::string& pemFile);
// Lower-case hexadecimal SHA-256 of the certificate's DER bytes.
std::string certificateSha256Of(const std::string& pemFile);
