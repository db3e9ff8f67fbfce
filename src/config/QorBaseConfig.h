// Base of configuration containers: holds the application configuration and
// writes the registered settings below its top-level sections as XML.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

namespace Poco::Util {
class AbstractConfiguration;
}

namespace qor {

class QorBaseConfig {
public:
    explicit QorBaseConfig(Poco::Util::AbstractConfiguration* baseConfig) : m_baseConfig(baseConfig) {}
    virtual ~QorBaseConfig() = default;

    virtual bool isReadOnly() const { return false; }
    // Writes the settings below one section, the top-level call with depth 1.
    virtual void writeConfigXml(std::ostream& file, const std::string& sectionKey, int depth);
    // The index-th top-level section, null after the last.
    virtual const char* sectionName(int index) const = 0;

    // Writes the configuration file, first copying an existing one to a
    // numbered backup (removed again when nothing changed). An empty path
    // means the default path. False with errorText when writing failed.
    bool writeConfigFile(std::string path, bool backup, std::string& errorText);

    // The application configuration (not owned).
    Poco::Util::AbstractConfiguration* m_baseConfig;
};

} // namespace qor

// Platform part: makes a file that may hold passwords readable and writable
// by its owner only, also when it existed before with wider permissions.
// Anything but a regular file keeps its mode.
bool restrictToOwner(std::FILE* stream);
