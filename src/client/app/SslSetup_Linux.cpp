// The system certificate stores of a Linux system: "ROOT" is the CA bundle
// that ca-certificates builds, "CA" the folder of individual certificates
// (PEM files, among them locally added ones). Both are read as PEM.
#include "SslSetup.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <dirent.h>
#include <sys/stat.h>

#include <string>

namespace {

std::string bundlePath = "/etc/ssl/certs/ca-certificates.crt";
std::string directoryPath = "/etc/ssl/certs";

bool endsWith(const std::string& text, const char* suffix) {
    const std::string end(suffix);
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Appends every certificate of a PEM file; false when it cannot be opened.
bool readPemFile(const std::string& path, std::vector<std::string>& out) {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) return false;
    while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate, &der);
        if (length > 0) out.emplace_back(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
        OPENSSL_free(der);
        X509_free(certificate);
    }
    BIO_free(file);
    return true;
}

} // namespace

void setSystemCertStoreLocations(const std::string& bundleFile, const std::string& certificateDirectory) {
    bundlePath = bundleFile;
    directoryPath = certificateDirectory;
}

bool readSystemCertStore(const std::string& storeName, std::vector<std::string>& derCertificates) {
    derCertificates.clear();
    if (storeName == "ROOT") return readPemFile(bundlePath, derCertificates);
    if (storeName != "CA") return false;
    DIR* dir = ::opendir(directoryPath.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!endsWith(name, ".pem") && !endsWith(name, ".crt")) continue;
        const std::string path = directoryPath + "/" + name;
        // The bundle is the ROOT store already.
        if (path == bundlePath) continue;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        readPemFile(path, derCertificates);
    }
    ::closedir(dir);
    return true;
}
