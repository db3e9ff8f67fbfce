#include "ServerCertificateTrust.h"

#include <Poco/Mutex.h>

#include <openssl/evp.h>

#include <cctype>
#include <map>

namespace qor {

namespace {

Poco::FastMutex& trustLock() {
    static Poco::FastMutex lock;
    return lock;
}

std::map<std::string, ServerCertificateTrust>& trustByHost() {
    static std::map<std::string, ServerCertificateTrust> records;
    return records;
}

// "Desk.Example" and "desk.example" are one host, "[fe80::1]" and "fe80::1"
// one address.
std::string hostKey(const std::string& host) {
    std::string key = host;
    if (key.size() >= 2 && key.front() == '[' && key.back() == ']') key = key.substr(1, key.size() - 2);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

} // namespace

std::string certificateSha256(const std::string& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr) != 1) return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xf];
    }
    return text;
}

ServerCertificateTrust ServerCertificateTrust::forHost(const std::string& host) {
    Poco::FastMutex::ScopedLock guard(trustLock());
    const auto found = trustByHost().find(hostKey(host));
    return found != trustByHost().end() ? found->second : ServerCertificateTrust();
}

void ServerCertificateTrust::setIgnoreErrors(const std::string& host, bool ignore) {
    Poco::FastMutex::ScopedLock guard(trustLock());
    trustByHost()[hostKey(host)].ignoreErrors = ignore;
}

std::string ServerCertificateTrust::pinCertificate(const std::string& host, const std::string& der) {
    if (der.empty()) return std::string();
    const std::string fingerprint = certificateSha256(der);
    if (fingerprint.empty()) return fingerprint;
    Poco::FastMutex::ScopedLock guard(trustLock());
    trustByHost()[hostKey(host)].pinnedSha256.insert(fingerprint);
    return fingerprint;
}

void ServerCertificateTrust::forgetAll() {
    Poco::FastMutex::ScopedLock guard(trustLock());
    trustByHost().clear();
}

} // namespace qor
