#include "RunConfig.h"

#include "ConfigShellPathValue.h"
#include "FileHelpers.h"
#include "Logging.h"
#include "SettingsRegistry.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/Util/AbstractConfiguration.h>

#include <cerrno>
#include <cstdio>

bool configFileLoaded = false;

namespace {

qor::ConfigShellPathValue* cnfPath = nullptr;
qor::ConfigShellPathValue* binPath = nullptr;
qor::ConfigShellPathValue* logPath = nullptr;
qor::ConfigShellPathValue* runPath = nullptr;

std::string withSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// The text as an absolute directory: relative texts are taken against base.
std::string absoluteDirectory(const std::string& text, const std::string& base) {
    Poco::Path path(text);
    if (path.isRelative()) path.makeAbsolute(Poco::Path(base));
    return withSeparator(path.toString());
}

std::string configString(const std::string& property) {
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    try {
        return config ? readConfigString(*config, property, "") : std::string();
    } catch (const Poco::Exception&) {
        return std::string();
    }
}

qor::ConfigShellPathValue* makePathSetting(const char* key, const std::string& defaultValue) {
    return new qor::ConfigShellPathValue(key, defaultValue, 1, LogComponentMask::OTHER);
}

} // namespace

void initRunConfigPaths() {
    const bool service = isRunAsService();
    if (service && !changeDirectory(applicationDir()))
        std::fprintf(stderr, "ERROR: Can't change directory to %s.  %s\n", applicationDir().c_str(),
                     windowsErrorText(static_cast<unsigned int>(errno)).c_str());

    std::string cnfDefault = configString("application.configDir");
    if (!configFileLoaded || cnfDefault.empty()) cnfDefault = Poco::Path(withSeparator(applicationDir())).parent().toString();
    cnfPath = makePathSetting("Client.Paths.CnfPath", cnfDefault);
    cnfPath->setAndRemember(absoluteDirectory(cnfPath->valueString(), Poco::Path::current()));

    binPath = makePathSetting("Client.Paths.BinPath", applicationDir());
    binPath->setAndRemember(withSeparator(binPath->valueString()));

    logPath = makePathSetting("Client.Paths.LogPath", "${HOME}");
    logPath->ensureRegistered(4);
    std::string logText = logPath->effectiveString();
    if (logText == "./") logText.clear();
    const std::string logDir = absoluteDirectory(logText, cnfPath->valueString());
    logPath->setAndRemember(checkFileAttributes(logDir, FileKind::Directory) == FileAttributes::Usable ? logDir : binPath->valueString());

    runPath = makePathSetting("Client.Paths.RunPath", "run/");
    runPath->setAndRemember(absoluteDirectory(runPath->valueString(), cnfPath->valueString()));

    if (!service) {
        for (qor::ConfigShellPathValue* setting : {cnfPath, binPath, runPath}) {
            setting->markLoaded();
            setting->ensureRegistered(4);
        }
    }
}

qor::ConfigShellPathValue* runConfigCnfPathSetting() { return cnfPath; }
qor::ConfigShellPathValue* runConfigBinPathSetting() { return binPath; }
qor::ConfigShellPathValue* runConfigLogPathSetting() { return logPath; }
qor::ConfigShellPathValue* runConfigRunPathSetting() { return runPath; }

std::string runConfigLogPath() { return logPath ? logPath->asString() : std::string(); }
std::string runConfigBinPath() { return binPath ? binPath->asString() : std::string(); }

void reportRunPaths() {
    if (!configFileLoaded) logInformation("Started without configuration file");
    auto text = [](qor::ConfigShellPathValue* setting) { return setting ? setting->asString() : std::string(); };
    logTrace("Conf path : " + text(cnfPath));
    logTrace("Bin path  : " + text(binPath));
    logTrace("Run path  : " + text(runPath));
    logTrace("Log path  : " + text(logPath));
    logTrace("Current working directory: " + Poco::Path::current());
}

std::string applicationDir() { return configString("application.dir"); }

bool isRunAsService() {
    bool configured = false;
    if (!Poco::NumberParser::tryParseBool(configString("application.runAsService"), configured)) configured = false;
    return configured || isSystemAccount();
}

bool isSystemAccount() {
    static const bool systemAccount = platformIsSystemService();
    return systemAccount;
}

std::string expandShellVariables(const std::string& text) {
    std::string result;
    std::string::size_type pos = 0;
    for (;;) {
        const std::string::size_type start = text.find("${", pos);
        if (start == std::string::npos) break;
        const std::string::size_type end = text.find('}', start + 2);
        if (end == std::string::npos) break;
        const std::string name = text.substr(start + 2, end - start - 2);
        std::string value;
        if (name.empty()) {
            value = "${}";
        } else if (lookupEnvironmentVariable(name, value)) {
            if ((name == "HOME" || name == "HOMEPATH") && value.empty()) break;
        } else if (name == "HOME" && !Poco::Path::home().empty()) {
            value = Poco::Path::home();
        } else {
            componentTrace(LogComponentMask::CONF, "Variable " + name + " not found in environment");
            break;
        }
        // The value goes in as it is: references inside it are not expanded.
        result.append(text, pos, start - pos);
        result += value;
        pos = end + 1;
    }
    result.append(text, pos, std::string::npos);
    return result;
}

std::string normalizePath(const std::string& text) {
    if (text.empty()) return text;
    try {
        return Poco::Path(text).toString();
    } catch (const Poco::Exception&) {
        return text;
    }
}

std::string makeCwdRelativePath(const std::string& path) {
    const std::string cwd = withSeparator(Poco::Path::current());
    if (path.compare(0, cwd.size(), cwd) == 0) return "./" + path.substr(cwd.size());
    // The parent of the working directory, without its trailing separator;
    // only a whole directory name counts as a match.
    const std::string::size_type slash = cwd.rfind('/', cwd.size() - 2);
    if (slash == std::string::npos || slash == 0) return path;
    const std::string parent = cwd.substr(0, slash);
    if (path.compare(0, parent.size() + 1, parent + "/") == 0) return ".." + path.substr(parent.size());
    return path;
}
