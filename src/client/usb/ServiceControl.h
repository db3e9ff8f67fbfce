// The service functions behind qor::QorWinService. Each takes the log name
// that begins its log lines, the service's name, its display name (disp,
// used in texts) and a text that receives the reason of a failure, and
// returns a result code:
//   0 success (installed; not stopped; started; stopped)
//  -1 start not completed (time-out while stopping, not running when the
//     start wait ended: errorText says why); for the start as the user: not
//     running afterwards
//  -2 error (the service manager or the service cannot be reached, a query
//     or a control failed)
//  -3 running test only: stopped or stop pending
//  -4 not installed
// They never throw. Waits follow the service's progress reports on the
// service manager's clock.
#pragma once

#include <string>

int qorServiceIsInstalled(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceIsRunning(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceGrantStartStop(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceSetDemandStart(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceStart(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceStop(std::string logName, const char* serviceName, std::string disp, std::string& errorText);

// Start and stop with the rights of the calling user (no elevation). They
// wait for the manager's answer and then ask for the service's state: 0
// when it runs (or stops), -1 with the manager's refusal or the state in
// errorText otherwise, -2 when the manager cannot be asked.
int qorServiceStartShell(std::string logName, const char* serviceName, std::string disp, std::string& errorText);
int qorServiceStopShell(std::string logName, const char* serviceName, std::string disp, std::string& errorText);

// Between two status queries of a pending service: a tenth of its wait
// hint, at least 1000 ms and at most 10000 ms.
int servicePollInterval(unsigned int waitHint);
