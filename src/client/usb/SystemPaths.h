// Where Linux keeps the files and programs of system services: the systemd
// unit of a service, its polkit rule, systemctl and the elevation launcher
// pkexec. Used by the Linux layers of service control and by the daemon's
// registration.
//
// Tests point all of them into a folder of their own: the environment
// variable QDK_TEST_SYSTEM_ROOT, when set, stands in for "/" (the tests put
// their own service manager and launcher there). Nothing else sets it;
// pkexec and systemd give their programs a clean environment. The walk of
// the USB devices reads its sysfs tree under the same root.
#pragma once

#include <string>

// The path under the system root (absolutePath begins with "/").
std::string systemPath(const std::string& absolutePath);

std::string systemctlProgram();
std::string elevationLauncher();

// "<service>.service"
std::string serviceUnitName(const std::string& serviceName);
// The unit file of the service, under /etc/systemd/system.
std::string serviceUnitPath(const std::string& serviceName);
// The polkit rule that lets users start and stop the service.
std::string serviceAccessRulePath(const std::string& serviceName);
