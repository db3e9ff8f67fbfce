// One system service, named once at construction, with the six operations
// the client needs. Start and stop go to the service manager directly when
// the client runs elevated, and with the user's own rights otherwise
// (which grantEveryoneStartStop makes enough). Each operation may overwrite
// errorText with the reason of a failure. No state besides the names, so
// any thread may use one instance.
#pragma once

#include <string>

namespace qor {

class QorWinService {
public:
    QorWinService(std::string logName, std::string serviceName, std::string displayName);
    virtual ~QorWinService();

    virtual bool isInstalled(std::string& errorText);
    // True unless the service is stopped or stopping.
    virtual bool isRunning(std::string& errorText);
    virtual bool startService(std::string& errorText);
    virtual bool stopService(std::string& errorText);
    virtual bool setDemandStart(std::string& errorText);
    virtual bool grantEveryoneStartStop(std::string& errorText);

    const std::string& logName() const { return logName_; }
    const std::string& serviceName() const { return serviceName_; }
    const std::string& displayName() const { return displayName_; }

private:
    const std::string logName_;
    const std::string serviceName_;
    const std::string displayName_;
};

} // namespace qor
