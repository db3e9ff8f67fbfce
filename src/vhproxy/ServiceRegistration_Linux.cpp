// The service is the systemd unit vhproxy.service in /etc/systemd/system,
// of type notify (active once the daemon listens), running this program
// with --service as root, sandboxed: no capabilities, a read-only system,
// its own log folder, loopback addresses only. Registration refuses a
// program that anyone but root could change (ordinary users may start the
// service). "manual" leaves it disabled (started on request only), "auto"
// enables it for the boot target. The unit is loaded with systemctl
// daemon-reload; a unit that cannot be loaded or enabled is removed again.
// Removal deletes the unit (and its link from the boot target) and the
// polkit rule that the client's installer added for it, and reloads.
#include "ServiceRegistration.h"

#include "CommandProcess.h"
#include "ServiceProgramCheck.h"
#include "SystemPaths.h"

#include "Utilities.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

const std::string serviceName = "vhproxy";
constexpr int systemctlWaitMs = 10000;

Poco::Logger& logger() { return Poco::Logger::get("vhproxy"); }

// One word of an ExecStart line: quoted when it holds anything but plain
// path characters; "%" and "$" escaped so that systemd takes them as they are.
std::string unitWord(const std::string& word) {
    std::string escaped;
    bool plain = !word.empty();
    for (const char c : word) {
        if (c == '%') {
            escaped += "%%";
        } else if (c == '$') {
            escaped += "$$";
        } else if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else {
            escaped += c;
        }
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::strchr("/._-+=:,@", c) != nullptr;
        if (!safe) plain = false;
    }
    return plain ? escaped : "\"" + escaped + "\"";
}

// A value of one line: control characters would end the line or garble
// it; "%" would be taken for one of systemd's specifiers.
std::string unitValue(const std::string& text) {
    std::string value;
    for (const char c : text) {
        if (c == '%')
            value += "%%";
        else
            value += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    }
    return value;
}

// The daemon's arguments as the service runs it.
std::vector<std::string> serviceArguments(const RegistrationOptions& options) {
    std::vector<std::string> arguments{"--service"};
    if (!options.allowGroup.empty()) arguments.push_back("--allowGroup=" + options.allowGroup);
    if (options.usbServerPort != 0) arguments.push_back("--usbServerPort=" + std::to_string(options.usbServerPort));
    return arguments;
}

// What the daemon needs: a listener on 127.0.0.1, TCP to the USB server on
// loopback, the user and group databases (files, or systemd's user
// database over a local socket), the kernel's socket diagnostics (netlink)
// and its log folder. It runs as root, the one user whom the USB server
// and the daemon's own peer check trust, but without any capability. Not
// PrivateUsers=: the daemon must see its peers' true user ids.
const char* const sandbox =
    "User=root\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "DevicePolicy=closed\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_NETLINK AF_UNIX\n"
    "IPAddressAllow=localhost\n"
    "IPAddressDeny=any\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "KeyringMode=private\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "UMask=0077\n"
    "LogsDirectory=vhproxy\n";

bool runSystemctl(const std::vector<std::string>& arguments) {
    CommandProcess command;
    command.setCaptureErrorOutput(true);
    if (!command.runCommandWait("registerService", systemctlProgram(), arguments, true, systemctlWaitMs)) {
        logger().error("Can't run " + systemctlProgram());
        return false;
    }
    if (command.exitCodeKnown() && command.exitCode() == 0) return true;
    std::string line = "systemctl";
    for (const std::string& argument : arguments) line += " " + argument;
    logger().error(line + " failed" +
                   (command.exitCodeKnown() ? " with exit code " + std::to_string(command.exitCode()) : ", timed out") +
                   (command.output().empty() ? "" : ": " + command.output()));
    return false;
}

// Writes the file whole or not at all (a temporary file renamed over it).
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                         ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(written ? errno : writeError);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// The boot target's link to the unit, as systemctl enable makes it.
std::string wantsLinkPath() {
    return systemPath("/etc/systemd/system/multi-user.target.wants/" + serviceUnitName(serviceName));
}

// Also a link whose target is gone.
bool pathExists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    logger().error("Can't remove " + path + ": " + std::strerror(errno));
    return false;
}

} // namespace

int registerService(const RegistrationOptions& options) {
    if (options.startup != "manual" && options.startup != "auto") {
        logger().error("Unknown start-up type '" + options.startup + "' (manual or auto)");
        return 2;
    }
    const std::string program = runningProgramPath();
    if (program.empty()) {
        logger().error("Can't find this program's path");
        return 1;
    }
    // Ordinary users may start the service, which runs as root: whoever
    // can change its program could run anything as root.
    const std::string unsafe = unsafeServiceProgram(program);
    if (!unsafe.empty()) {
        logger().error("Refusing to register " + printablePath(program) + " as a service that runs as root: " +
                       unsafe + ". The program and every folder above it must belong to root and be writable by "
                       "root alone. Install the client into such a folder (for example with cmake --install build "
                       "--prefix /opt/quarrydesk) and register the service from there.");
        return 1;
    }
    std::string execStart = unitWord(program);
    for (const std::string& argument : serviceArguments(options)) {
        if (holdsControlCharacter(argument)) {
            logger().error("Refusing to register the service: the argument " + printablePath(argument) +
                           " holds a control character");
            return 2;
        }
        execStart += " " + unitWord(argument);
    }

    std::string unit = "# Written by \"vhproxy --registerService\"; removed by \"vhproxy --unregisterService\".\n";
    if (!options.description.empty()) unit += "# " + unitValue(options.description) + "\n";
    unit += "[Unit]\n"
            "Description=" + unitValue(options.displayName) + "\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=" + execStart + "\n"
            "TimeoutStartSec=10\n"
            "TimeoutStopSec=10\n";
    unit += sandbox;
    if (options.startup == "auto")
        unit += "\n"
                "[Install]\n"
                "WantedBy=multi-user.target\n";

    const std::string path = serviceUnitPath(serviceName);
    std::string error;
    try {
        Poco::File(Poco::Path(path).parent()).createDirectories();
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    }
    if (!error.empty() || !writeFileAtomically(path, unit, error)) {
        logger().error("Can't write " + path + ": " + error);
        return 1;
    }
    const bool reloaded = runSystemctl({"daemon-reload"});
    if (!reloaded || (options.startup == "auto" && !runSystemctl({"enable", serviceUnitName(serviceName)}))) {
        // A unit that systemd did not take would be left to nobody: the
        // client's uninstall asks systemd, which knows nothing of it.
        removeFile(wantsLinkPath());
        if (removeFile(path)) logger().error("Removed " + path + " again");
        if (reloaded) runSystemctl({"daemon-reload"});
        return 1;
    }
    logger().information("Registered the service " + serviceUnitName(serviceName) + " (" + options.startup +
                         " start) in " + path);
    return 0;
}

int unregisterService() {
    // The files go first: the client gives this run about a second, and
    // what counts is that the service is gone. Disabling is removing the
    // boot target's link to the unit, as systemctl disable would.
    const std::string path = serviceUnitPath(serviceName);
    const std::vector<std::string> files{wantsLinkPath(), path, serviceAccessRulePath(serviceName)};
    bool anyThere = false;
    for (const std::string& file : files) anyThere = anyThere || pathExists(file);
    if (!anyThere) {
        // What was asked for holds already; systemd has nothing to forget.
        logger().information("The service " + serviceUnitName(serviceName) + " is not installed (no " + path +
                             "): nothing to remove");
        return 0;
    }
    const bool installed = pathExists(path);
    bool removed = true;
    for (const std::string& file : files) removed = removeFile(file) && removed;
    if (removed)
        logger().information(installed ? "Removed the service " + serviceUnitName(serviceName)
                                       : "The service " + serviceUnitName(serviceName) +
                                             " was not installed; removed what was left of it");
    const bool reloaded = runSystemctl({"daemon-reload"});
    return removed && reloaded ? 0 : 1;
}
