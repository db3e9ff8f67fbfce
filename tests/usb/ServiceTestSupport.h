// A system root of the tests' own (QDK_TEST_SYSTEM_ROOT points there while
// it lives): the systemd stand-in (tests/usb/service_manager.py) runs as
// its service manager with ROOT/usr/bin/systemctl (systemctl-double) as its
// client, the pkexec
// stand-in is ROOT/usr/bin/pkexec and polkit's rule folder exists. When the
// root goes, the manager stops its services; output of a service that
// shows a sanitizer's report fails the test.
//
// The daemon is registered from a copy in a folder that belongs to root
// and that only root may write, as an installation has it (registration
// refuses a program that others could change, such as one in a build tree
// under /tmp).
#pragma once

#include "CommandProcess.h"
#include "TestPaths.h"

#include <string>
#include <vector>

// A new folder that, like every folder above it, belongs to root and may be
// written by root alone (under /run); removed with all it holds.
class RootOwnedFolder {
public:
    RootOwnedFolder();
    ~RootOwnedFolder();
    RootOwnedFolder(const RootOwnedFolder&) = delete;
    RootOwnedFolder& operator=(const RootOwnedFolder&) = delete;
    // The folder, ending with "/".
    const std::string& path() const { return path_; }
    // Copies the program into the folder under the name (mode 0755).
    std::string install(const std::string& program, const std::string& name) const;

private:
    std::string path_;
};

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
    // How many of them hold the fragment (" start ", say).
    int systemctlCallCount(const std::string& fragment) const;
    void clearSystemctlCalls();
    // "uid=<uid> pkexec <arguments>" lines.
    std::vector<std::string> launcherCalls() const;
    // The stand-in pkexec ends with this code (0, or 126 for a refusal).
    void setLauncherExit(int code);
    // The root-owned program folder (ending with "/") and the daemon's copy
    // in it.
    const std::string& programFolder() const { return programs_.path(); }
    std::string daemonProgram() const { return programs_.path() + "vhproxy"; }
    // Registers the service with the daemon program (the copy by default),
    // as root would.
    void registerService(const std::string& program = "");
    std::string unitFile() const { return path("/etc/systemd/system/vhproxy.service"); }
    std::string accessRule() const { return path("/etc/polkit-1/rules.d/50-vhproxy.rules"); }

private:
    TempDir dir_;
    RootOwnedFolder programs_;
    CommandProcess manager_;
};

// The lines of a text.
std::vector<std::string> linesOf(const std::string& text);
