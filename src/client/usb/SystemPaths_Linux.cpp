#include "SystemPaths.h"

#include <cstdlib>

std::string systemPath(const std::string& absolutePath) {
    const char* root = std::getenv("QDK_TEST_SYSTEM_ROOT");
    if (root == nullptr || *root == '\0') return absolutePath;
    std::string prefix = root;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    return prefix + absolutePath;
}

std::string systemctlProgram() { return systemPath("/usr/bin/systemctl"); }

std::string elevationLauncher() { return systemPath("/usr/bin/pkexec"); }

std::string serviceUnitName(const std::string& serviceName) { return serviceName + ".service"; }

std::string serviceUnitPath(const std::string& serviceName) {
    return systemPath("/etc/systemd/system/" + serviceUnitName(serviceName));
}

std::string serviceAccessRulePath(const std::string& serviceName) {
    return systemPath("/etc/polkit-1/rules.d/50-" + serviceName + ".rules");
}
