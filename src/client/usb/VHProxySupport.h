// What the client does with the daemon vhproxy and its service: install and
// remove it (by running the daemon program with its registration options),
// start it unless a compatible instance answers already, replace a running
// instance that is silent or of another version, and carry out the vhProxy
// option of the command line. Log lines begin with "vhProxySupport: ".
//
// Starting, stopping and replacing take one process-wide lock, so threads
// that ask at the same time take turns: none can stop an instance that
// another has just started.
#pragma once

#include "OwnerLock.h"

#include <string>
#include <vector>

// Runs the daemon program from the program directory with the arguments,
// waiting at most 10 s for it to end; true when it could be started.
bool runVHProxyCommandWithOption(const std::vector<std::string>& arguments);
// True when installed already, or the registration could be run.
bool registerVHProxyService();
// True when not installed, or the removal could be run.
bool unregisterVHProxyService();
// A process of the daemon's executable name runs (whoever started it).
bool isVHProxyProcessRunning();
// True when no daemon process runs, or the service was stopped.
bool stopVHProxyService();
// True when a daemon process runs and answers with the required version,
// or answers with its refusal of this user (it serves others: it is left
// as it is). A silent or incompatible one is stopped (false), unless no
// service is installed that could stop and start it (false).
bool ensureVHProxyRunning();
// True when a compatible daemon answers already (or refuses this user), or
// the service was started.
bool startVHProxyService();
// The daemon's service is not installed, or the service manager could not
// tell (managerError says why): said at critical once while it stays so.
void noteVHProxyNotInstalled(const std::string& managerError);
// The vhProxy option: "auto", "status", "stop", "start", "uninstall" or
// "install". Ends the process with the command's exit code.
[[noreturn]] void handleVHProxyCommand(const std::string& command);

// The lock around starting, stopping and replacing the daemon.
OwnerLock& vhProxyControlLock();
