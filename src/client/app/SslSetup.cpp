#include "SslSetup.h"

#include "ClientSettings.h"
#include "ConfigPasswordValue.h"
#include "ConfigStringValue.h"
#include "Logging.h"
#include "NonInteractiveCertificateHandler.h"
#include "SettingsRegistry.h"

#include <Poco/Exception.h>
#include <Poco/Net/CertificateHandlerFactory.h>
#include <Poco/Net/CertificateHandlerFactoryMgr.h>
#include <Poco/Net/KeyFileHandler.h>
#include <Poco/Net/PrivateKeyFactory.h>
#include <Poco/Net/PrivateKeyFactoryMgr.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Util/AbstractConfiguration.h>

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <exception>
#include <memory>
#include <vector>

namespace {

const char* const clientKeys[] = {
    "openSSL.client.privateKeyFile",
    "openSSL.client.certificateFile",
    "openSSL.client.verificationMode",
    "openSSL.client.verificationDepth",
    "openSSL.client.loadDefaultCAFile",
    "openSSL.client.cipherList",
    "openSSL.client.privateKeyPassphraseHandler.name",
    "openSSL.client.privateKeyPassphraseHandler.options.password",
    "openSSL.client.invalidCertificateHandler.name",
    "openSSL.client.requireTLSv1_0",
    "openSSL.client.requireTLSv1_1",
    "openSSL.client.requireTLSv1_2",
};

// A setting for a key of the list that the key table does not hold; lives
// until the process ends and is never registered.
qor::ConfigEntry* makeTwinSetting(const std::string& key) {
    static std::vector<std::unique_ptr<qor::ConfigEntry>> twins;
    if (key.find("privateKeyPassphraseHandler") != std::string::npos)
        twins.push_back(std::make_unique<qor::ConfigPasswordValue>(key, "", 1, LogComponentMask::SSL));
    else
        twins.push_back(std::make_unique<qor::ConfigStringValue>(key, "", std::vector<std::string>{}, 1, LogComponentMask::SSL));
    return twins.back().get();
}

// The console handlers of POCO would ask on standard input; the client has
// no one to ask, so their names create non-interactive handlers instead.
void replaceConsoleHandlers() {
    Poco::Net::SSLManager& manager = Poco::Net::SSLManager::instance();
    Poco::Net::CertificateHandlerFactoryMgr& certificates = manager.certificateHandlerFactoryMgr();
    certificates.removeFactory("ConsoleCertificateHandler");
    certificates.setFactory("ConsoleCertificateHandler",
                            new Poco::Net::CertificateHandlerFactoryImpl<NonInteractiveCertificateHandler>());
    Poco::Net::PrivateKeyFactoryMgr& keys = manager.privateKeyFactoryMgr();
    keys.removeFactory("KeyConsoleHandler");
    keys.setFactory("KeyConsoleHandler", new Poco::Net::PrivateKeyFactoryImpl<Poco::Net::KeyFileHandler>());
}

} // namespace

void importSystemCertStore(SSL_CTX* context, const std::string& name) {
    std::vector<std::string> certificates;
    if (!readSystemCertStore(name, certificates)) {
        logError("The " + name + " cert store was not opened");
        return;
    }
    if (isDebugEnabled()) logDebug("The " + name + " cert store was opened");
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const std::string& der : certificates) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(der.data());
        X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
        if (certificate == nullptr) {
            if (isDebugEnabled()) logDebug("Could not process X509 encoding for CA cert");
            continue;
        }
        char subject[128];
        X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
        if (isTraceEnabled()) logTrace("OpenSSL: Loaded CA certificate: subject='" + std::string(subject) + "'");
        if (X509_STORE_add_cert(store, certificate) != 1) {
            if (isDebugEnabled()) logDebug("OpenSSL: Failed to add ca_cert to OpenSSL certificate store");
        }
        X509_free(certificate);
    }
}

bool setupSsl() {
    try {
        replaceConsoleHandlers();
        if (isTraceEnabled()) logTrace("SSL config settings: ");
        for (int i = 0; i < sslConfigCount; ++i) {
            qor::ConfigStringValue& setting = sslConfigTable[i];
            setting.ensureRegistered(sslConfigWriteClasses[i]);
            if (!setting.isInConfigFile()) {
                if (isTraceEnabled()) logTrace("  Use default " + setting.key());
                setting.publish();
            }
        }
        Poco::Util::AbstractConfiguration* config = applicationConfiguration();
        for (const char* clientKey : clientKeys) {
            std::string serverKey = clientKey;
            serverKey.replace(serverKey.find(".client."), 8, ".server.");
            qor::ConfigEntry* client = findConfigEntry(clientKey);
            if (client == nullptr) client = makeTwinSetting(clientKey);
            if (findConfigEntry(serverKey) == nullptr) makeTwinSetting(serverKey);
            if (config != nullptr && config->hasProperty(serverKey) && !config->hasProperty(clientKey)) {
                client->setFromString(config->getRawString(serverKey));
                client->publish();
                if (isTraceEnabled()) logTrace("  Copy " + serverKey + " to " + clientKey);
            }
        }
        openSslClientLoadDefaultCAFile.ensureRegistered(2);
        // A value the copy above published lives under the plain key, which
        // the settings' own load (OS-selector forms only) does not see.
        const std::string caKey = openSslClientLoadDefaultCAFile.key();
        if (config != nullptr && config->hasProperty(caKey))
            openSslClientLoadDefaultCAFile.setFromString(config->getRawString(caKey));
        if (openSslClientLoadDefaultCAFile.get()) {
            Poco::Net::SSLManager& manager = Poco::Net::SSLManager::instance();
            Poco::Net::Context::Ptr context = manager.defaultClientContext();
            if (context.isNull()) throw Poco::NullPointerException("default client context");
            importSystemCertStore(context->sslContext(), "ROOT");
            importSystemCertStore(context->sslContext(), "CA");
            manager.initializeClient(manager.clientPassphraseHandler(), manager.clientCertificateHandler(), context);
        }
        logInformation(OpenSSL_version(OPENSSL_VERSION));
        return true;
    } catch (const Poco::Exception& e) {
        logError("Error setting up SSL, " + e.displayText());
    } catch (const std::exception& e) {
        logError(std::string("Error setting up SSL, ") + e.what());
    } catch (...) {
        logError("Error setting up SSL, unknown exception received");
    }
    return false;
}
