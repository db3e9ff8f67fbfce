// The service manager on Linux is systemd, driven through systemctl (an
// argument vector, never a shell; --no-ask-password, so that no prompt can
// hold a command). A service "name" is the unit "name.service".
//
//   reach, status  systemctl show -p LoadState,ActiveState,SubState,... (no rights needed)
//   start, stop    systemctl start|stop (waits for the job: afterwards the
//                  unit is active or has failed, is stopped or stopping)
//   demand start   systemctl disable (started on request only)
//   users may start and stop: a polkit rule for this unit's start and stop,
//                  for local users of an active session
//
// systemd reports no check points: the check point counts the sub-states a
// starting or stopping unit has passed, and the wait hint is the unit's
// start or stop time-out.
#include "ServiceManager.h"

#include "CommandProcess.h"
#include "SystemPaths.h"
#include "Utilities.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

namespace {

constexpr int queryWaitMs = 10000;
constexpr int jobWaitMs = 30000;

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct SystemctlResult {
    bool ran = false;
    int exitCode = -1;
    std::string output; // standard output and error
};

SystemctlResult systemctl(std::vector<std::string> arguments, int waitMs) {
    arguments.insert(arguments.begin(), "--no-ask-password");
    SystemctlResult result;
    CommandProcess command;
    command.setCaptureErrorOutput(true);
    if (!command.runCommandWait("systemctl", systemctlProgram(), arguments, true, waitMs)) {
        result.output = "can't run " + systemctlProgram();
        return result;
    }
    result.ran = true;
    result.output = trimmed(command.output());
    if (command.exitCodeKnown())
        result.exitCode = static_cast<int>(command.exitCode());
    else
        result.output = "systemctl did not answer within " + std::to_string(waitMs / 1000) + " s";
    return result;
}

// The text of a failed command: its message, else its exit code.
std::string failureText(const SystemctlResult& result) {
    if (!result.output.empty()) return result.output.substr(0, result.output.find('\n'));
    return "systemctl ended with exit code " + std::to_string(result.exitCode);
}

// A systemd time span ("1min 30s", "100ms", "infinity") in milliseconds.
std::uint32_t timeSpanMs(const std::string& text) {
    if (text == "infinity") return 0xffffffffu;
    static const std::map<std::string, double> units = {
        {"us", 0.001}, {"ms", 1}, {"s", 1000}, {"sec", 1000}, {"m", 60000}, {"min", 60000},
        {"h", 3600000}, {"d", 86400000}, {"w", 604800000}};
    std::istringstream words(text);
    std::string word;
    double total = 0;
    while (words >> word) {
        std::string::size_type digits = 0;
        while (digits < word.size() && ((word[digits] >= '0' && word[digits] <= '9') || word[digits] == '.')) ++digits;
        const double value = digits > 0 ? std::stod(word.substr(0, digits)) : 0;
        const std::string unit = word.substr(digits);
        const auto factor = units.find(unit.empty() ? "s" : unit);
        if (factor != units.end()) total += value * factor->second;
    }
    return total >= 4294967295.0 ? 0xffffffffu : static_cast<std::uint32_t>(total);
}

// How far a starting or stopping unit has come, by its sub-state.
std::uint32_t progressOf(const std::string& subState) {
    static const std::map<std::string, std::uint32_t> steps = {
        {"condition", 1}, {"start-pre", 2}, {"start", 3}, {"start-post", 4}, {"reload", 4},
        {"stop", 1}, {"stop-watchdog", 2}, {"stop-sigterm", 2}, {"stop-sigkill", 3}, {"stop-post", 4},
        {"final-watchdog", 5}, {"final-sigterm", 5}, {"final-sigkill", 6}, {"cleaning", 7}};
    const auto step = steps.find(subState);
    return step != steps.end() ? step->second : 0;
}

class SystemdServiceManager : public ServiceManager {
public:
    ServiceOpenResult openService(const std::string& service, ServiceAccess, std::string& systemError) override {
        std::map<std::string, std::string> properties;
        const ServiceOpenResult shown = show(service, properties, systemError);
        if (shown != ServiceOpenResult::Opened) return shown;
        const std::string& load = properties["LoadState"];
        if (load == "not-found") return ServiceOpenResult::NotInstalled;
        if (load == "loaded" || load == "masked") return ServiceOpenResult::Opened;
        systemError = "unit " + serviceUnitName(service) + " is " + (load.empty() ? "unknown" : load);
        return ServiceOpenResult::Failed;
    }

    bool queryStatus(const std::string& service, ServiceStatus& status, std::string& systemError) override {
        std::map<std::string, std::string> properties;
        if (show(service, properties, systemError) != ServiceOpenResult::Opened) return false;
        const std::string& active = properties["ActiveState"];
        const std::string& sub = properties["SubState"];
        status = ServiceStatus();
        if (active == "active" || active == "reloading") {
            status.currentState = ServiceState::Running;
        } else if (active == "activating") {
            status.currentState = ServiceState::StartPending;
            status.waitHint = timeSpanMs(properties["TimeoutStartUSec"]);
            status.checkPoint = progressOf(sub);
        } else if (active == "deactivating") {
            status.currentState = ServiceState::StopPending;
            status.waitHint = timeSpanMs(properties["TimeoutStopUSec"]);
            status.checkPoint = progressOf(sub);
        } else {
            status.currentState = ServiceState::Stopped;
        }
        status.exitCode = static_cast<std::uint32_t>(std::strtoul(properties["ExecMainStatus"].c_str(), nullptr, 10));
        return true;
    }

    // systemctl start waits for the job, and fails when the service fails
    // while it starts: the start was made then, the state tells the outcome
    // and systemError keeps systemctl's words. Only a start that was not
    // made (refused, unknown unit) fails.
    bool requestStart(const std::string& service, std::string& systemError) override {
        if (job("start", service, systemError)) return true;
        std::map<std::string, std::string> properties;
        std::string ignored;
        return show(service, properties, ignored) == ServiceOpenResult::Opened && properties["ActiveState"] == "failed";
    }

    bool requestStop(const std::string& service, std::string& systemError) override {
        return job("stop", service, systemError);
    }

    bool setDemandStart(const std::string& service, std::string& systemError) override {
        return job("disable", service, systemError);
    }

    bool grantStartStop(const std::string& service, std::string& failure) override {
        const std::string path = serviceAccessRulePath(service);
        const std::string directory = Poco::Path(path).parent().toString();
        struct stat status {};
        if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            failure = ": polkit is not installed, no " + directory;
            return false;
        }
        const std::string unit = serviceUnitName(service);
        const std::string rule =
            "// Written by the Quarrydesk Client's installer: local users of an active\n"
            "// session may start and stop " + unit + ", nothing else.\n"
            "polkit.addRule(function(action, subject) {\n"
            "    if (action.id == \"org.freedesktop.systemd1.manage-units\" &&\n"
            "        action.lookup(\"unit\") == \"" + unit + "\" &&\n"
            "        (action.lookup(\"verb\") == \"start\" || action.lookup(\"verb\") == \"stop\") &&\n"
            "        subject.local && subject.active) {\n"
            "        return polkit.Result.YES;\n"
            "    }\n"
            "});\n";
        const std::string temporary = path + ".new";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        bool written = fd >= 0 && ::write(fd, rule.data(), rule.size()) == static_cast<ssize_t>(rule.size()) &&
                       ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
        const int error = errno;
        if (fd >= 0) ::close(fd);
        if (written && ::rename(temporary.c_str(), path.c_str()) != 0) written = false;
        if (!written) {
            failure = ": Can't write the polkit rule " + path + ", " + std::strerror(written ? errno : error);
            ::unlink(temporary.c_str());
            return false;
        }
        return true;
    }

    bool startAsUser(const std::string& service, std::string& systemError) override {
        return job("start", service, systemError);
    }

    bool stopAsUser(const std::string& service, std::string& systemError) override {
        return job("stop", service, systemError);
    }

private:
    // systemctl show of the properties the service control reads.
    ServiceOpenResult show(const std::string& service, std::map<std::string, std::string>& properties,
                           std::string& systemError) {
        const SystemctlResult result = systemctl(
            {"--no-pager", "show", "-p", "LoadState,ActiveState,SubState,ExecMainStatus,TimeoutStartUSec,TimeoutStopUSec",
             serviceUnitName(service)},
            queryWaitMs);
        if (!result.ran || result.exitCode != 0) {
            systemError = failureText(result);
            return ServiceOpenResult::ManagerUnavailable;
        }
        std::istringstream lines(result.output);
        std::string line;
        while (std::getline(lines, line)) {
            const std::string::size_type equals = line.find('=');
            if (equals != std::string::npos) properties[line.substr(0, equals)] = trimmed(line.substr(equals + 1));
        }
        if (properties.count("LoadState") == 0) {
            systemError = "no unit state in systemctl's answer";
            return ServiceOpenResult::ManagerUnavailable;
        }
        return ServiceOpenResult::Opened;
    }

    bool job(const std::string& verb, const std::string& service, std::string& systemError) {
        const SystemctlResult result = systemctl({verb, serviceUnitName(service)}, jobWaitMs);
        if (result.ran && result.exitCode == 0) return true;
        systemError = failureText(result);
        return false;
    }
};

} // namespace

ServiceManager& platformServiceManager() {
    static SystemdServiceManager manager;
    return manager;
}

// systemd runs when its runtime folder /run/systemd/system is there (the
// test of sd_booted). Containers, WSL and other init systems have none: no
// systemctl call can succeed there, and the USB daemon, the client's one
// service, can still be run by hand.
std::string serviceManagerUnavailableText(const std::string& service, const std::string& systemError) {
    struct stat status {};
    if (::lstat(systemPath("/run/systemd/system").c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return "systemd can't be asked about " + serviceUnitName(service) + ": " + systemError;
    return "systemd is not running on this machine (it is not the init system), and " + serviceUnitName(service) +
           " is a systemd service. Without systemd, run the daemon by hand as root (sudo " + programDirectory +
           service + " --service), or switch USB sharing off (Client.VirtualHere.Enabled false in ~/qdk-client.xml).";
}
