// The Hyper-V guest test from sysfs: a PCI display controller (class
// 0x0300xx) of Microsoft (vendor 0x1414) is the emulated Hyper-V video of a
// generation 1 machine; a generation 2 machine shows its synthetic video on
// VMBus only, so the firmware tables (DMI "Microsoft Corporation" /
// "Virtual Machine") identify it.
#include "StartClient.h"

#include "Logging.h"

#include <Poco/String.h>

#include <dirent.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::string readFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (file) std::getline(file, line);
    return Poco::trim(line);
}

std::string withSlash(std::string root) {
    if (root.empty() || root.back() != '/') root += '/';
    return root;
}

} // namespace

bool isHyperVGuestAt(const std::string& rootPath) {
    const std::string root = withSlash(rootPath);
    std::vector<std::string> adapters;

    const std::string pciDir = root + "sys/bus/pci/devices/";
    if (DIR* dir = ::opendir(pciDir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string device = pciDir + name + "/";
            const std::string pciClass = Poco::toLower(readFirstLine(device + "class"));
            if (pciClass.compare(0, 6, "0x0300") != 0) continue;
            const std::string vendor = Poco::toLower(readFirstLine(device + "vendor"));
            const std::string product = Poco::toLower(readFirstLine(device + "device"));
            if (vendor == "0x1414")
                adapters.push_back("Microsoft Hyper-V Video (" + name + ")");
            else
                adapters.push_back("Display controller " + vendor + ":" + product + " (" + name + ")");
        }
        ::closedir(dir);
    }
    const std::string dmi = root + "sys/class/dmi/id/";
    if (readFirstLine(dmi + "sys_vendor") == "Microsoft Corporation" &&
        readFirstLine(dmi + "product_name") == "Virtual Machine")
        adapters.push_back("Microsoft Hyper-V Synthetic Video");

    bool result = false;
    for (const std::string& adapter : adapters) {
        if (isDebugEnabled()) logDebug("Video Adapter: " + adapter);
        if (adapter.find("Hyper-V") != std::string::npos) {
            logError("Unsupported configuration, running client on Hyper-V");
            result = true;
        }
    }
    return result;
}
