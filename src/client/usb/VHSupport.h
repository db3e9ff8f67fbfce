// The client's facade over the USB module libVirtualHereServer and the two
// programs it drives: this machine's USB server (server mode, the mode that
// start-up selects) and the USB client (client mode). It decides whether USB
// forwarding is enabled, finds and loads the module once, hands it the
// client's logging, initialises it, checks the program of the mode and the
// module's version, and runs client commands through it. Its state is
// process-wide; initialisation runs once, on the start-up thread. The flags
// and numbers are atomics and the texts are copied under a lock, so other
// threads may read them at any time.
#pragma once

#include "VHArgumentCheck.h"

#include <Poco/SharedLibrary.h>

#include <atomic>
#include <string>

// State of the program of the mode, found at initialisation.
enum VHProcessState {
    VHStateUnknown = 0,
    VHStateServiceStopped = 1,
    VHStateServiceRunning = 2,
    VHStateStopped = 3,
    VHStateRunning = 4,
};

// Codes of the last failure (vhLastError); vhErrorMessage gives their texts.
enum VHErrorCode {
    VHErrNone = 0,
    VHErrNotEnabled = 1,
    VHErrExecutableNotFound = 2,
    VHErrError = 3,
    VHErrCantExecute = 4,
    VHErrDeviceNotFound = 5,
    VHErrDeviceNotReady = 6,
    VHErrClientNotResponding = 7,
    VHErrNotElevated = 8,
    VHErrConfigFile = 9,
    VHErrNoServerHostName = 10,
    VHErrNotImplemented = 11,
    VHErrClientConfigFile = 12,
    VHErrServerConfigFile = 13,
    VHErrServiceNotInstalled = 14,
    VHErrServiceStop = 15,
    VHErrServiceStart = 16,
    VHErrServiceQuery = 17,
    VHErrParameterMissing = 21,
    VHErrLoadLibrary = 22,
    VHErrUnspecified = 23,
};

// USB forwarding is enabled: set once by initialisation, afterwards only
// ever cleared.
extern std::atomic<bool> vhIntegrationEnabled;
// Code of the last failure of a facade operation (0 none).
extern std::atomic<int> vhLastError;
// A VHProcessState.
extern std::atomic<int> vhProcessState;

// The detailed text of the last failure.
std::string vhLastErrorText();
// The standard text of an error code; "" for 0 and unknown codes.
std::string vhErrorMessage(int code);

// The version the module must have (major and minor): the client's own.
extern const char* const requiredUsbModuleVersion;

// One-time initialisation; afterwards vhIntegrationEnabled, vhLastError and
// vhLastErrorText tell the outcome.
void initVHSupport(bool clientMode);
// Loads and registers the Client.VirtualHere settings; sets vhIntegrationEnabled.
void loadVHSettings();
// Where the module is looked for: "../bin/" beside the program, else the
// program's directory.
std::string usbModulePath();
// Loads the module, hands it the logging functions, initialises the mode and
// resolves vhcExec; true when it is ready.
bool loadUsbModule(bool clientMode);
Poco::SharedLibrary& getUsbModule();
// Server mode: why the module would not use what listens on the USB
// server's port (another user's listener); "" when it refused nothing.
std::string usbServerRefusal();
// The module's version text ("LIB_NOT_LOADED" before it is loaded).
std::string getUsbModuleVersion();
// True when the version's major and minor equal the client's and USB
// forwarding is still enabled; otherwise USB forwarding is disabled.
bool checkUsbModuleVersion(const std::string& version);

std::string vhServerExecutablePath();
std::string vhClientExecutablePath();
// The configuration and log files of the two programs lie in this user's
// own folder (vhUserFileDirectory), never beside the programs.
std::string vhServerConfigPath();
std::string vhServerLogPath();
std::string vhClientConfigPath();
std::string vhClientLogPath();
// The program of the mode exists and may be executed (code 4 otherwise).
bool checkVHExecutable(bool client);
bool isVHServerRunning();

std::string vhStateName();

// Client mode.
bool queryVHClientStatus(std::string& reply);
bool parseVHClientState(const std::string& reply);
bool isVHClientResponding();
// Host name of the USB server to which the USB client is connected.
std::string vhServerHostName();

namespace VHSupport {
bool initVHServer();
bool initVHClient();
bool sendVHClientCommand(const std::string& command, std::string& reply, bool flag);
bool isInstalled();
bool isRunning();
} // namespace VHSupport

// Platform: the file names of the USB server and USB client programs.
std::string vhServerProgramName();
std::string vhClientProgramName();
// Platform: the folder of this user's files of the USB programs, created
// (owner only) when missing; ends with a separator.
std::string vhUserFileDirectory();
