// The platform's service manager as the service control uses it: reach a
// service, read its status, start and stop it, make it start on demand
// only, let ordinary users start and stop it, and start or stop it as the
// calling user. One implementation per platform (systemd on Linux), chosen
// in serviceManager(); tests may put a scripted one in its place.
//
// The clock of the service control's waits is the manager's too, so that a
// test can run them without waiting.
#pragma once

#include "ServiceStatus.h"

#include <cstdint>
#include <string>

enum class ServiceAccess {
    Query,  // read the configuration and the status
    Control // also start, stop and reconfigure
};

enum class ServiceOpenResult { Opened, ManagerUnavailable, NotInstalled, Failed };

class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // Whether the service can be reached with the access; systemError says
    // why not (the platform's text).
    virtual ServiceOpenResult openService(const std::string& service, ServiceAccess access,
                                          std::string& systemError) = 0;
    virtual bool queryStatus(const std::string& service, ServiceStatus& status, std::string& systemError) = 0;
    // Asks for a start; on return the service has left the stopped state
    // (or the start failed). A service that failed while it started was
    // started all the same (true): systemError then holds the manager's
    // complaint.
    virtual bool requestStart(const std::string& service, std::string& systemError) = 0;
    // Asks for a stop; on return the service is stopping or stopped.
    virtual bool requestStop(const std::string& service, std::string& systemError) = 0;
    virtual bool setDemandStart(const std::string& service, std::string& systemError) = 0;
    // Lets every local user start and stop the service (and nothing else);
    // failure is the reason, a text that begins with ": ".
    virtual bool grantStartStop(const std::string& service, std::string& failure) = 0;
    // Start and stop with the rights of the calling user, waiting for the
    // outcome; systemError is the manager's answer when refused.
    virtual bool startAsUser(const std::string& service, std::string& systemError) = 0;
    virtual bool stopAsUser(const std::string& service, std::string& systemError) = 0;

    virtual std::int64_t nowMs();
    virtual void sleepMs(int milliseconds);
};

// The platform's manager, or the one a test set.
ServiceManager& serviceManager();
// Tests only: replaces the manager; null brings the platform's back.
void setServiceManager(ServiceManager* manager);
// The platform's manager (defined by the platform layer).
ServiceManager& platformServiceManager();
// Why the service manager could not be asked about the service, in the
// platform's words (defined by the platform layer), given the manager's own
// answer: the reason of every service operation that found no manager.
// Where the platform has no service manager running, it also says what the
// user can do instead.
std::string serviceManagerUnavailableText(const std::string& service, const std::string& systemError);
