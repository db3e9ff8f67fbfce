#include "ClientConfig.h"

#include <mutex>

namespace {
qor::ClientConfig* clientConfig = nullptr;
}

namespace qor {

const char* ClientConfig::sectionName(int index) const {
    static const char* const sections[] = {"Client", "openSSL"};
    return index >= 0 && index < 2 ? sections[index] : nullptr;
}

} // namespace qor

qor::ClientConfig* createClientConfig(Poco::Util::AbstractConfiguration* appConfig) {
    if (clientConfig == nullptr) clientConfig = new qor::ClientConfig(appConfig);
    return clientConfig;
}

qor::ClientConfig* getClientConfig() { return clientConfig; }

int configSaveMode = 2;

void setSaveAllMode() { configSaveMode = 8; }

void enableFullConfigWrite() { setSaveAllMode(); }

void saveClientConfig(const std::string& path) {
    std::string errorText;
    if (clientConfig != nullptr) clientConfig->writeConfigFile(path, true, errorText);
}
