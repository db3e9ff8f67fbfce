#include "QorWinService.h"

#include "ProcessHelpers.h"
#include "ServiceControl.h"

namespace qor {

QorWinService::QorWinService(std::string logName, std::string serviceName, std::string displayName)
    : logName_(std::move(logName)), serviceName_(std::move(serviceName)), displayName_(std::move(displayName)) {}

QorWinService::~QorWinService() = default;

bool QorWinService::isInstalled(std::string& errorText) {
    return qorServiceIsInstalled(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

bool QorWinService::isRunning(std::string& errorText) {
    return qorServiceIsRunning(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

bool QorWinService::startService(std::string& errorText) {
    if (isProcessElevated()) return qorServiceStart(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
    return qorServiceStartShell(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

bool QorWinService::stopService(std::string& errorText) {
    if (isProcessElevated()) return qorServiceStop(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
    return qorServiceStopShell(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

bool QorWinService::setDemandStart(std::string& errorText) {
    return qorServiceSetDemandStart(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

bool QorWinService::grantEveryoneStartStop(std::string& errorText) {
    return qorServiceGrantStartStop(logName_, serviceName_.c_str(), displayName_, errorText) == 0;
}

} // namespace qor
