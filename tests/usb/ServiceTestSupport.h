// A system root of the tests' own (QDK_TEST_SYSTEM_ROOT points there while
// it lives): the systemd stand-in (tests/usb/service_manager.py) runs as
// its service manager with ROOT/usr/bin/systemctl (systemctl-double) as its
// client, the pkexec
// stand-in is ROOT/usr/bin/pkexec and polkit's rule folder exists. When the
// root goes, the manager stops its services; output of a service that
// shows a sanitizer's report fails the test.
#pragma once

#include "CommandProcess.h"
#include "TestPaths.h"

#include <string>
#include <vector>

class ServiceRoot {
public:
    ServiceRoot();
    ~ServiceRoot();
    ServiceRoot(const ServiceRoot&) = delete;
    ServiceRoot& operator=(const ServiceRoot&) = delete;

    // The path under the root of an absolute path.
    std::string path(const std::string& absolute) const { return dir_.path() + absolute; }
    // What the services' users ran: "uid=<uid> systemctl <arguments>" lines.
    std::vector<std::string> systemctlCalls() const;
    void clearSystemctlCalls();
    // "uid=<uid> pkexec <arguments>" lines.
    std::vector<std::string> launcherCalls() const;
    // The stand-in pkexec ends with this code (0, or 126 for a refusal).
    void setLauncherExit(int code);
    // Registers the service with the daemon program, as root would.
    void registerService(const std::string& program = VHPROXY_PROGRAM);
    std::string unitFile() const { return path("/etc/systemd/system/vhproxy.service"); }
    std::string accessRule() const { return path("/etc/polkit-1/rules.d/50-vhproxy.rules"); }

private:
    TempDir dir_;
    CommandProcess manager_;
};

// The lines of a text.
std::vector<std::string> linesOf(const std::string& text);
