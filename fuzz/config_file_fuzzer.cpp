// The user's configuration file: the input is the file as it lies on disk.
// It is read as at start-up into a fresh application configuration, every
// setting of the client's table reads its value from it, the configuration
// is written back (as --writeConfig and as --writeFullConfig do) and each
// written file read again. The written file must be readable, and every
// setting must read the value it had before the write: a difference would
// change a user's settings at the next start.
//
// The start-up keeps the name of every file it read (and the reason for one
// it could not read) for its report: that list grows with each input, so
// this harness runs without libFuzzer's leak check per input, which would
// run after every input (config_file.options).
#include "ClientConfig.h"
#include "ClientSettings.h"
#include "ConfigValue.h"
#include "FuzzSupport.h"
#include "SettingsRegistry.h"

#include <Poco/AutoPtr.h>
#include <Poco/Util/LayeredConfiguration.h>
#include <Poco/Util/MapConfiguration.h>

#include <fstream>

using qor::ConfigEntry;
using qor::ConfigValue;

namespace {

// Every setting the client writes, registered once with its write class.
void registerSettings() {
    for (ConfigEntry* setting : clientSettingsTable()) {
        int writeClass = setting == &clientLogLevel ? 1 : 2;
        for (int i = 0; i < sslConfigCount; ++i)
            if (setting == &sslConfigTable[i]) writeClass = sslConfigWriteClasses[i];
        setting->ensureRegistered(writeClass);
    }
}

// A fresh application configuration as the start-up makes it, with the
// file at the path (none for an empty path); false when the file was not read.
bool useConfiguration(Poco::AutoPtr<Poco::Util::LayeredConfiguration>& config, const std::string& path) {
    config = new Poco::Util::LayeredConfiguration;
    Poco::AutoPtr<Poco::Util::MapConfiguration> properties(new Poco::Util::MapConfiguration);
    properties->setString("application.baseName", "qdk-client");
    properties->setString("application.dir", fuzz::scratchDirectory() + "/bin/");
    properties->setString("application.configDir", fuzz::scratchDirectory() + "/");
    config->add(properties, "properties", -100, true);
    const bool read = path.empty() || loadConfigFile(*config, path, 0);
    createClientConfig(config.get())->m_baseConfig = config.get();
    return read;
}

template <typename T>
bool reload(ConfigEntry* setting) {
    auto* value = dynamic_cast<ConfigValue<T>*>(setting);
    if (value != nullptr) value->load();
    return value != nullptr;
}

// Each setting's text as written and as used, read afresh from the
// configuration in use.
std::vector<std::string> readSettings() {
    std::vector<std::string> values;
    for (ConfigEntry* setting : clientSettingsTable()) {
        if (!reload<std::string>(setting) && !reload<bool>(setting) && !reload<int>(setting))
            fuzz::fail("setting " + setting->key() + " of an unknown kind");
        values.push_back(setting->key() + "=" + setting->valueString() + " / " + setting->effectiveString());
    }
    return values;
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    Poco::AutoPtr<Poco::Util::LayeredConfiguration> config;
    useConfiguration(config, "");
    registerSettings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::scratchDirectory() + "/input.xml";
    const std::string written = fuzz::scratchDirectory() + "/written.xml";
    writeFile(input, std::string(reinterpret_cast<const char*>(data), size));

    // Every setting back to its default, as in a new process.
    Poco::AutoPtr<Poco::Util::LayeredConfiguration> config;
    useConfiguration(config, "");
    readSettings();

    if (!useConfiguration(config, input)) return 0; // the start-up ignores the file
    const std::vector<std::string> before = readSettings();
    for (const bool full : {false, true}) {
        configSaveMode = full ? 8 : 2;
        std::string errorText;
        if (!getClientConfig()->writeConfigFile(written, false, errorText))
            fuzz::fail("the configuration could not be written: " + errorText);
        if (!useConfiguration(config, written))
            fuzz::fail("the written file could not be read:\n" + readFile(written));
        const std::vector<std::string> after = readSettings();
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (after[i] != before[i])
                fuzz::fail("read back " + after[i] + " instead of " + before[i] + (full ? " (full write)" : "") +
                           "\nwritten:\n" + readFile(written));
        }
    }
    configSaveMode = 2;
    return 0;
}
