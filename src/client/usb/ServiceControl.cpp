#include "ServiceControl.h"

#include "ServiceManager.h"
#include "VHLog.h"

#include <algorithm>

namespace {

enum class OpenFailureLevel { Debug, Error };

// Opens the service for control; on failure sets errorText and returns the
// result code. The not-installed test tells a missing service from others.
int openForControl(const std::string& logName, const char* serviceName, const std::string& disp,
                   std::string& errorText, ServiceAccess access, OpenFailureLevel level, const std::string& otherFailure) {
    ServiceManager& manager = serviceManager();
    std::string systemError;
    const ServiceOpenResult opened = manager.openService(serviceName, access, systemError);
    if (opened == ServiceOpenResult::Opened) return 0;
    if (opened == ServiceOpenResult::ManagerUnavailable) {
        errorText = serviceManagerUnavailableText(serviceName, systemError);
        return -2;
    }
    std::string installedError;
    const int installed = qorServiceIsInstalled(logName, serviceName, disp, installedError);
    const int code = installed == -4 ? -4 : -2;
    errorText = code == -4 ? "'" + disp + "' not installed" : otherFailure;
    if (level == OpenFailureLevel::Debug)
        vhDebug(logName + ": " + errorText);
    else
        vhError(logName + ": " + errorText);
    return code;
}

bool query(ServiceManager& manager, const char* serviceName, ServiceStatus& status, const std::string& disp,
           const std::string& step, std::string& errorText) {
    std::string systemError;
    if (manager.queryStatus(serviceName, status, systemError)) return true;
    errorText = "Can't query '" + disp + "' service state" + step + ", " + systemError;
    return false;
}

enum class PendingWait { Left, NoProgress, QueryFailed };

// Polls while the service stays in the pending state. Progress (a higher
// check point) starts the wait anew; more than the wait hint without
// progress ends it.
PendingWait waitWhilePending(ServiceManager& manager, const char* serviceName, std::uint32_t pending,
                             ServiceStatus& status, const std::string& disp, const std::string& step,
                             std::string& errorText) {
    std::int64_t waitStart = manager.nowMs();
    std::uint32_t checkPoint = status.checkPoint;
    while (status.currentState == pending) {
        manager.sleepMs(servicePollInterval(status.waitHint));
        if (!query(manager, serviceName, status, disp, step, errorText)) return PendingWait::QueryFailed;
        // Out of the pending state at last: its status carries no check
        // point or wait hint any more, so it is no step without progress.
        if (status.currentState != pending) break;
        if (status.checkPoint > checkPoint) {
            waitStart = manager.nowMs();
            checkPoint = status.checkPoint;
        } else if (manager.nowMs() - waitStart > static_cast<std::int64_t>(status.waitHint)) {
            return PendingWait::NoProgress;
        }
    }
    return PendingWait::Left;
}

bool isStoppedOrStopping(const ServiceStatus& status) {
    return status.currentState == ServiceState::Stopped || status.currentState == ServiceState::StopPending;
}

} // namespace

int servicePollInterval(unsigned int waitHint) {
    return static_cast<int>(std::min(10000u, std::max(1000u, waitHint / 10)));
}

int qorServiceIsInstalled(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    std::string systemError;
    switch (serviceManager().openService(serviceName, ServiceAccess::Query, systemError)) {
    case ServiceOpenResult::Opened: return 0;
    case ServiceOpenResult::NotInstalled:
        vhDebug(logName + ": '" + disp + "' service is not installed");
        return -4;
    case ServiceOpenResult::ManagerUnavailable:
        errorText = serviceManagerUnavailableText(serviceName, systemError);
        return -2;
    case ServiceOpenResult::Failed: break;
    }
    errorText = "Can't open '" + disp + "' service, err " + systemError;
    return -2;
}

// Reading the state needs no more than query rights, so an ordinary user
// sees the state of a service that runs.
int qorServiceIsRunning(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    const int opened = openForControl(logName, serviceName, disp, errorText, ServiceAccess::Query,
                                      OpenFailureLevel::Debug, "Service not found '" + disp + "' (?)");
    if (opened != 0) return opened;
    ServiceStatus status;
    if (!query(serviceManager(), serviceName, status, disp, "", errorText)) return -2;
    return isStoppedOrStopping(status) ? -3 : 0;
}

int qorServiceGrantStartStop(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    const int opened = openForControl(logName, serviceName, disp, errorText, ServiceAccess::Control,
                                      OpenFailureLevel::Debug, "Service not found '" + disp + "' (?)");
    if (opened != 0) return opened;
    std::string failure;
    if (!serviceManager().grantStartStop(serviceName, failure)) {
        vhError(logName + failure);
        return -2;
    }
    vhDebug(logName + ": Service DACL updated successfully");
    return 0;
}

int qorServiceSetDemandStart(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    const int opened = openForControl(logName, serviceName, disp, errorText, ServiceAccess::Control,
                                      OpenFailureLevel::Error, "Can't open '" + disp + "' service");
    if (opened != 0) return opened;
    std::string systemError;
    if (!serviceManager().setDemandStart(serviceName, systemError)) {
        errorText = "Can't change '" + disp + "' to on-demand start up";
        vhError(logName + ": " + errorText);
        return -2;
    }
    return 0;
}

int qorServiceStart(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    const int opened = openForControl(logName, serviceName, disp, errorText, ServiceAccess::Control,
                                      OpenFailureLevel::Error, "Can't open '" + disp + "' service");
    if (opened != 0) return opened;
    ServiceManager& manager = serviceManager();
    ServiceStatus status;
    if (!query(manager, serviceName, status, disp, " (1)", errorText)) return -2;
    if (!isStoppedOrStopping(status)) return 0;

    // A stop under way ends first; a step without progress for longer than
    // its wait hint gives up.
    switch (waitWhilePending(manager, serviceName, ServiceState::StopPending, status, disp, " (2)", errorText)) {
    case PendingWait::QueryFailed: return -2;
    case PendingWait::NoProgress: errorText = "Can't start '" + disp + "' service, timeout"; return -1;
    case PendingWait::Left: break;
    }

    std::string systemError;
    if (!manager.requestStart(serviceName, systemError)) {
        errorText = "Can't start '" + disp + "' state, , " + systemError;
        return -2;
    }
    vhDebug(logName + ": '" + disp + "' service start pending");
    if (!query(manager, serviceName, status, disp, " (3)", errorText)) return -2;
    if (waitWhilePending(manager, serviceName, ServiceState::StartPending, status, disp, " (4)", errorText) ==
        PendingWait::QueryFailed)
        return -2;
    if (status.currentState == ServiceState::Running) return 0;
    // The manager's complaint about the start, else the state it ended in.
    errorText = systemError.empty() ? "'" + disp + "' is not running after its start" : systemError;
    if (status.exitCode != 0) errorText += " (exit code " + std::to_string(status.exitCode) + ")";
    vhDebug(logName + ": Current State " + std::to_string(status.currentState));
    vhDebug(logName + ": Exit Code     " + std::to_string(status.exitCode));
    vhDebug(logName + ": Check Point   " + std::to_string(status.checkPoint));
    vhDebug(logName + ": Wait Hint     " + std::to_string(status.waitHint));
    return -1;
}

int qorServiceStop(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    ServiceManager& manager = serviceManager();
    std::string systemError;
    const ServiceOpenResult opened = manager.openService(serviceName, ServiceAccess::Control, systemError);
    if (opened == ServiceOpenResult::ManagerUnavailable) {
        errorText = serviceManagerUnavailableText(serviceName, systemError);
        return -2;
    }
    if (opened != ServiceOpenResult::Opened) {
        std::string installedError;
        const int code = qorServiceIsInstalled(logName, serviceName, disp, installedError) == -4 ? -4 : -2;
        errorText = code == -4 ? "'" + disp + "' not installed" : "Can't open '" + disp + "' service, " + systemError;
        vhError(logName + ": " + errorText);
        return code;
    }
    ServiceStatus status;
    if (!manager.queryStatus(serviceName, status, systemError)) {
        errorText = "Can't query '" + disp + "' service status, " + systemError;
        return -2;
    }
    if (status.currentState == ServiceState::Stopped) {
        vhDebug(logName + ": '" + disp + "' service is stopped");
        return 0;
    }
    if (status.currentState == ServiceState::StopPending) {
        vhDebug(logName + ": '" + disp + "' service is stopping");
        return 0;
    }
    if (!manager.requestStop(serviceName, systemError)) {
        errorText = "Can't stop '" + disp + "' service, " + systemError;
        vhError(logName + ": " + errorText);
        return -2;
    }
    vhDebug(logName + ": '" + disp + "' service stopped");
    return 0;
}

namespace {

// Start or stop with the user's rights, then the state decides the result.
int changeAsUser(bool start, const std::string& logName, const char* serviceName, const std::string& disp,
                 std::string& errorText) {
    ServiceManager& manager = serviceManager();
    std::string systemError;
    const bool accepted =
        start ? manager.startAsUser(serviceName, systemError) : manager.stopAsUser(serviceName, systemError);
    ServiceStatus status;
    std::string queryError;
    if (!manager.queryStatus(serviceName, status, queryError)) {
        errorText = "Can't query '" + disp + "' service state, " + queryError;
        return -2;
    }
    const bool reached = start ? (status.currentState == ServiceState::Running ||
                                  status.currentState == ServiceState::StartPending)
                               : isStoppedOrStopping(status);
    if (reached) return 0;
    if (!accepted)
        errorText = systemError;
    else
        errorText = "'" + disp + (start ? "' is not running after its start" : "' is still running after its stop");
    if (start && status.exitCode != 0) errorText += " (exit code " + std::to_string(status.exitCode) + ")";
    vhDebug(logName + ": " + errorText);
    return -1;
}

} // namespace

int qorServiceStartShell(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    return changeAsUser(true, logName, serviceName, disp, errorText);
}

int qorServiceStopShell(std::string logName, const char* serviceName, std::string disp, std::string& errorText) {
    return changeAsUser(false, logName, serviceName, disp, errorText);
}
