// The run configuration: the four directories the client works with
// (configuration, program, log, run) as the settings Client.Paths.*, each an
// absolute directory text ending with "/", and the expansion of environment
// references used by every shell-string setting.
#pragma once

#include <string>

namespace qor {
class ConfigShellPathValue;
}

// True when the application framework loaded at least one configuration
// file; set by the start-up before initRunConfigPaths.
extern bool configFileLoaded;

// Creates and resolves the four path settings; once, during start-up, after
// the configuration container exists.
void initRunConfigPaths();
// The path settings, null before initRunConfigPaths.
qor::ConfigShellPathValue* runConfigCnfPathSetting();
qor::ConfigShellPathValue* runConfigBinPathSetting();
qor::ConfigShellPathValue* runConfigLogPathSetting();
qor::ConfigShellPathValue* runConfigRunPathSetting();
std::string runConfigLogPath();
std::string runConfigBinPath();
// Logs where the client runs; at the end of the log set-up.
void reportRunPaths();

// "application.dir": the program's directory.
std::string applicationDir();
// True when the configuration says so ("application.runAsService") or the
// process was started as a system service.
bool isRunAsService();
// True when the process runs as the system's service account.
bool isSystemAccount();

// Replaces every "${NAME}" by the variable's value (environment, then the
// "system.env." properties); values are inserted as they are, never
// expanded again. An unknown name stops the expansion there.
std::string expandShellVariables(const std::string& text);
// The text as POCO's path gives it back.
std::string normalizePath(const std::string& text);
// The display form of a path: "./" for the working directory, ".." for its
// parent, otherwise unchanged.
std::string makeCwdRelativePath(const std::string& path);

// Platform part: whether this process was started by the service manager
// as the system account.
bool platformIsSystemService();
