// Linux: programs carry no file-name suffix; the module is a shared library
// "libVirtualHereServer.so" that finds its own dependencies beside it
// through its RUNPATH ($ORIGIN), so a load by absolute path needs no flags.
// The USB programs' files are state of the user: they go to
// $XDG_STATE_HOME/quarrydesk-client, by default ~/.local/state/quarrydesk-client.
#include "VHSupport.h"

#include "VHLog.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The folder that the variable names, without a trailing separator; empty
// when it is not set or not absolute.
std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    std::string folder = value != nullptr && value[0] == '/' ? value : "";
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder;
}

// HOME, else the user's home folder of the user database; "" for "/".
std::string homeDirectory() {
    if (std::getenv("HOME") != nullptr && std::getenv("HOME")[0] == '/') return absoluteVariable("HOME");
    const passwd* entry = ::getpwuid(::getuid());
    std::string home = entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
    while (!home.empty() && home.back() == '/') home.pop_back();
    return home;
}

// Creates the missing folders of the path, each for its owner only.
bool createFolders(const std::string& path, std::string& reason) {
    for (std::string::size_type slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            reason = folder + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        reason = path + ": not a folder";
        return false;
    }
    return true;
}

} // namespace

std::string vhServerProgramName() { return "qdvhwin64"; }

std::string vhClientProgramName() { return "vhui64"; }

std::string vhUserFileDirectory() {
    std::string state = absoluteVariable("XDG_STATE_HOME");
    if (state.empty()) state = homeDirectory() + "/.local/state";
    const std::string directory = state + "/quarrydesk-client";
    std::string reason;
    if (!createFolders(directory, reason)) vhError("VHSupport: Can't create the folder " + reason);
    return directory + "/";
}
