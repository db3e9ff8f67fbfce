// The client's configuration container: a process-wide singleton over the
// application configuration, with the top-level sections "Client" and
// "openSSL", and the functions that write the configuration back.
#pragma once

#include "QorBaseConfig.h"

#include <string>

namespace qor {

class ClientConfig : public QorBaseConfig {
public:
    using QorBaseConfig::QorBaseConfig;
    const char* sectionName(int index) const override;
};

} // namespace qor

// Creates the container over appConfig once; later calls return it unchanged.
qor::ClientConfig* createClientConfig(Poco::Util::AbstractConfiguration* appConfig);
// The container, null before createClientConfig.
qor::ClientConfig* getClientConfig();

// 2 normally; 8 when every registered setting is written (full write).
extern int configSaveMode;
void setSaveAllMode();
void enableFullConfigWrite();
// Writes the configuration (with backup) to the path or the default path.
void saveClientConfig(const std::string& path);

// The user's configuration file that the start-up reads: the home
// directory, "application.baseName" and ".xml".
std::string defaultConfigFilePath();
// Copies the file to the first free name path.1 ... path.999.
bool backupConfigFile(const std::string& path, std::string& backupPath);
bool sameFileContents(const std::string& path, const std::string& backupPath);
// Whether a section holds anything the writer would write.
bool hasSavableEntries(const std::string& prefix, int depth);
