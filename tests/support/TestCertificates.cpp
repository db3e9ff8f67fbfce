#include "TestCertificates.h"

#include "PeerProcess.h"
#include "TestPaths.h"

#include <functional>
#include <stdexcept>
#include <vector>

namespace {

// Runs openssl with its standard error in the output kept for the failure.
void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs{"-c", "exec \"$0\" \"$@\" 2>&1", "/usr/bin/openssl"};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    PeerProcess process("/bin/sh", shellArgs);
    if (process.waitForExit(60000) != 0) throw std::runtime_error("openssl " + args.front() + " failed: " + process.output());
}

std::string stem(const std::string& dir, const std::string& name) { return dir + "/" + name; }

const std::vector<std::string> ecKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

CertificateFiles selfSignedCertificate(const std::string& dir, const std::string& name, const std::string& commonName) {
    const CertificateFiles files{stem(dir, name) + ".pem", stem(dir, name) + "-key.pem"};
    openssl(std::vector<std::string>{"req", "-x509"} + ecKey +
            std::vector<std::string>{"-keyout", files.key, "-out", files.certificate, "-days", "2", "-subj",
                                     "/CN=" + commonName});
    return files;
}

CertificateFiles testCaCertificate(const std::string& dir, const std::string& name) {
    return selfSignedCertificate(dir, name, "Quarrydesk Test CA");
}

CertificateFiles caSignedCertificate(const std::string& dir, const std::string& name, const CertificateFiles& ca,
                                     const std::string& subjectAltNames) {
    const CertificateFiles files{stem(dir, name) + ".pem", stem(dir, name) + "-key.pem"};
    const std::string request = stem(dir, name) + ".csr";
    const std::string extensions = stem(dir, name) + ".ext";
    openssl(std::vector<std::string>{"req", "-new"} + ecKey +
            std::vector<std::string>{"-keyout", files.key, "-out", request, "-subj", "/CN=" + name});
    writeTextFile(extensions, "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n" +
                                  (subjectAltNames.empty() ? "" : "subjectAltName=" + subjectAltNames + "\n"));
    openssl({"x509", "-req", "-in", request, "-CA", ca.certificate, "-CAkey", ca.key, "-set_serial",
             std::to_string(std::hash<std::string>()(files.certificate) & 0x7fffffff), "-days", "2", "-extfile",
             extensions, "-out", files.certificate});
    return files;
}

std::string certificateDer(const std::string& pemFile) {
    const std::string der = pemFile + ".der";
    openssl({"x509", "-in", pemFile, "-outform", "DER", "-out", der});
    return readTextFile(der);
}

std::string certificateSha256Of(const std::string& pemFile) {
    certificateDer(pemFile);
    const std::string digest = pemFile + ".sha256";
    openssl({"dgst", "-sha256", "-r", "-out", digest, pemFile + ".der"});
    return readTextFile(digest).substr(0, 64);
}
