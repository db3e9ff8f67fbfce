#include "VHProxySupport.h"

#include "ClientSettings.h"
#include "CommandProcess.h"
#include "ElevatedRestart.h"
#include "ProcessHelpers.h"
#include "VHLog.h"
#include "VHProxyLink.h"
#include "VHProxyReachability.h"
#include "VHProxyService.h"

#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/Thread.h>
#include <Poco/Util/Application.h>

#include <cstdlib>
#include <sstream>

namespace {

const std::string logName = "vhProxySupport";
const std::string serviceLabel = "VHProxy service";

// The time the registration and removal get before the service's presence
// decides their outcome.
constexpr int settleMs = 2000;
// A daemon program's run (registration, removal) may take this long before
// it is ended. It writes or removes the unit and then has systemd reload
// its units, which takes more than a second on a busy machine; ending it
// halfway would leave the installation half done.
constexpr int daemonRunMs = 10000;

std::string daemonPath() { return programDirectory + vhProxyProgramName(); }

// The full path of this program, as the command line's framework saw it
// (the file the system names when there is no framework).
std::string applicationPath() {
    try {
        const std::string path = Poco::Util::Application::instance().config().getString("application.path", "");
        if (!path.empty()) return path;
    } catch (const Poco::Exception&) {
    }
    return runningProgramPath();
}

// Waits up to settleMs for the service to be installed (or gone).
bool settlesInstalled(bool installed) {
    const std::int64_t deadline = monotonicMillis() + settleMs;
    for (;;) {
        std::string error;
        const bool now = vhProxyService.isInstalled(error);
        if (now == installed || monotonicMillis() >= deadline) return now;
        Poco::Thread::sleep(100);
    }
}

[[noreturn]] void endProcess(int code) { std::exit(code); }

enum class ServicePresence { Installed, NotInstalled, Unknown };

// Whether the service is installed; Unknown, with the reason in error,
// when the service manager could not be asked. The installed test leaves
// error as it was for a service that is not installed.
ServicePresence vhProxyServicePresence(std::string& error) {
    error.clear();
    if (vhProxyService.isInstalled(error)) return ServicePresence::Installed;
    return error.empty() ? ServicePresence::NotInstalled : ServicePresence::Unknown;
}

} // namespace

OwnerLock& vhProxyControlLock() {
    static OwnerLock lock;
    return lock;
}

bool runVHProxyCommandWithOption(const std::vector<std::string>& arguments) {
    const std::string path = daemonPath();
    vhDebug("Running " + path + ", args " + buildCommandLine(arguments));
    CommandProcess command;
    command.setCaptureErrorOutput(true);
    if (!command.runCommandWait("runVHProxyCommandWithOption", path, arguments, true, daemonRunMs)) {
        vhError(logName + ": Can't execute '" + path + "', err " +
                windowsErrorText(static_cast<unsigned int>(command.startError())));
        return false;
    }
    // The daemon says why it could not do what was asked: passed on.
    const bool failed = command.exitCodeKnown() && command.exitCode() != 0;
    std::istringstream output(command.output());
    for (std::string line; std::getline(output, line);) {
        if (line.empty()) continue;
        if (failed)
            vhError(logName + ": " + line);
        else
            vhDebug(logName + ": " + line);
    }
    if (!failed) return true;
    vhError(logName + ": '" + path + "' ended with exit code " + std::to_string(command.exitCode()));
    return false;
}

bool registerVHProxyService() {
    std::string error;
    if (vhProxyService.isInstalled(error)) return true;
    // The service asks the USB server at the port where this client starts
    // it and the USB tunnel forwards to.
    return runVHProxyCommandWithOption({"--registerService", "--startup=manual", "--displayName=" + serviceLabel,
                                        "--description=VirtualHere support service for Quarrydesk Client",
                                        "--usbServerPort=" + std::to_string(clientVirtualHereServerPort.get())});
}

bool unregisterVHProxyService() {
    std::string error;
    if (!vhProxyService.isInstalled(error)) return true;
    return runVHProxyCommandWithOption({"--unregisterService"});
}

bool isVHProxyProcessRunning() { return isProcessRunning(vhProxyProgramName()); }

bool stopVHProxyService() {
    ScopedOwnerLock guard(vhProxyControlLock());
    if (!isVHProxyProcessRunning()) {
        vhDebug(logName + ": vhproxy service is not running");
        return true;
    }
    std::string error;
    if (!vhProxyService.isInstalled(error)) return false;
    if (vhProxyService.stopService(error)) {
        vhDebug(logName + ": Stopped vhproxy service");
        return true;
    }
    vhError(logName + ": Can't stop vhproxy service, error " + error);
    return false;
}

bool ensureVHProxyRunning() {
    ScopedOwnerLock guard(vhProxyControlLock());
    if (!isVHProxyProcessRunning()) {
        // The port was held by a program of another user (named otherwise,
        // say): whether it still is, only the link can tell.
        if (vhProxyReachability.state() == VHProxyState::PortHeld) probeVHProxy(nullptr);
        return false;
    }
    vhDebug(logName + ": Found running vhproxy");
    bool fits = false;
    bool refused = false;
    const bool answered = probeVHProxy(&fits, &refused);
    if (refused) {
        // It runs and serves others: not this user's to stop or replace.
        vhDebug(logName + ": vhproxy runs, but refuses this user");
        return true;
    }
    if (answered && fits) {
        vhProxyReachability.set(VHProxyState::Answering);
        vhDebug(logName + ": vhproxy currently running, not starting again");
        return true;
    }
    if (vhProxyReachability.state() == VHProxyState::PortHeld) {
        // Another user's program on the port: not ours to stop, and no
        // service of ours could listen there while it does.
        return false;
    }
    std::string error;
    if (!vhProxyService.isInstalled(error)) {
        // A vhproxy that no service of ours started: nothing to stop or
        // start, whatever it answers.
        noteVHProxyNotInstalled(error);
        return false;
    }
    if (answered) {
        vhProxyReachability.set(VHProxyState::Incompatible);
        vhWarning(logName + ": vhproxy shutting down incompatible running instance and starting again");
    } else {
        vhWarning(logName + ": vhproxy is not responding, trying to shut it down");
    }
    stopVHProxyService();
    return false;
}

void noteVHProxyNotInstalled(const std::string& managerError) {
    if (managerError.empty())
        vhLogIfNews(vhProxyReachability.set(VHProxyState::NotInstalled), vhCritical,
                    logName + ": vhproxy service not installed");
    else
        vhLogIfNews(vhProxyReachability.set(VHProxyState::NotInstalled, managerError), vhCritical,
                    logName + ": Can't start vhproxy service, error " + managerError);
}

bool startVHProxyService() {
    ScopedOwnerLock guard(vhProxyControlLock());
    if (ensureVHProxyRunning()) {
        vhDebug("vhProxy is active, not restarting");
        return true;
    }
    // The service could not listen while another user's program holds the
    // port.
    if (vhProxyReachability.state() == VHProxyState::PortHeld) return false;
    std::string error;
    if (!vhProxyService.isInstalled(error)) {
        noteVHProxyNotInstalled(error);
        return false;
    }
    if (vhProxyService.startService(error)) {
        vhDebug(logName + ": Started vhproxy service");
        return true;
    }
    vhError(logName + ": Can't start vhproxy service, error " + error);
    return false;
}

void handleVHProxyCommand(const std::string& requested) {
    std::string command = requested;
    if (command != "auto" && command != "status" && command != "stop" && command != "start" &&
        command != "uninstall" && command != "install") {
        vhCritical("Invalid argument " + command);
        endProcess(-2);
    }
    // Every command starts from whether the service is installed; when the
    // service manager cannot tell (none runs), nothing can be done. The
    // message names what was asked ("auto" would have installed or removed).
    std::string error;
    const ServicePresence presence = vhProxyServicePresence(error);
    if (presence == ServicePresence::Unknown) {
        const std::string verb = command == "status"  ? "query"
                                 : command == "auto" ? "install or uninstall"
                                                     : command;
        vhError("Can't " + verb + " " + serviceLabel + ", error " + error);
        endProcess(-1);
    }
    const bool installed = presence == ServicePresence::Installed;
    if (command == "auto") command = installed ? "uninstall" : "install";

    if (command == "status") {
        if (!installed)
            vhInformation(serviceLabel + " is not installed");
        else if (vhProxyService.isRunning(error))
            vhInformation(serviceLabel + " is installed and running");
        else
            vhInformation(serviceLabel + " is installed and stopped");
        endProcess(0);
    }
    if (command == "stop") {
        if (!installed) {
            vhInformation(serviceLabel + " is not installed");
            endProcess(0);
        }
        if (vhProxyService.stopService(error)) {
            vhInformation("Stopped " + serviceLabel);
            endProcess(0);
        }
        vhError("Error stopping " + serviceLabel);
        endProcess(-1);
    }
    if (command == "start") {
        if (!installed) {
            vhInformation(serviceLabel + " is not installed");
            endProcess(0);
        }
        if (vhProxyService.startService(error)) {
            vhInformation("Started " + serviceLabel);
            endProcess(0);
        }
        vhError("Error starting " + serviceLabel + ", error " + error);
        endProcess(-1);
    }

    if (command == "uninstall" && !installed) {
        vhInformation("Not installed '" + serviceLabel + "'");
        endProcess(0);
    }
    if (command == "install" && installed) {
        vhInformation("Installed '" + serviceLabel + "'");
        endProcess(0);
    }
    // Ends this process unless it is elevated already. The elevated run has
    // the administrator's settings: an installation takes this user's port
    // of the USB server along.
    std::string parameters = "--vhProxy=" + command;
    if (command == "install") parameters += " --usbServerPort=" + std::to_string(clientVirtualHereServerPort.get());
    restartElevated("Main", applicationPath().c_str(), parameters.c_str());

    if (command == "install") {
        if (!registerVHProxyService()) vhWarning("Error installing '" + serviceLabel + "'");
        if (!settlesInstalled(true)) {
            vhError("Error installing '" + serviceLabel + "'");
            endProcess(-1);
        }
        if (!vhProxyService.grantEveryoneStartStop(error))
            vhWarning("Error assigning permissions '" + serviceLabel + "'");
        vhInformation("Successfully installed '" + serviceLabel + "'");
        endProcess(0);
    }
    if (vhProxyService.isRunning(error) && !vhProxyService.stopService(error))
        vhWarning("Error stopping '" + serviceLabel + "'");
    if (!unregisterVHProxyService()) vhWarning("Error running uninstall '" + serviceLabel + "'");
    if (settlesInstalled(false)) {
        vhError("Error uninstalling '" + serviceLabel + "'");
        endProcess(-1);
    }
    vhInformation("Successfully uninstalled '" + serviceLabel + "'");
    endProcess(0);
}
