// Elevation on Linux is pkexec (polkit): "pkexec <absolute program path>
// <parameters>" asks the user to authenticate on the terminal or through the
// desktop's agent and runs the program as root, with a clean environment.
// It ends with 126 when the user dismissed the request and 127 when the
// user may not elevate (or the program cannot run); otherwise with the
// program's exit code, which this process passes on.
#include "ElevatedRestart.h"

#include "ProcessHelpers.h"
#include "SystemPaths.h"
#include "VHLog.h"

#include "Utilities.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

extern char** environ;

bool restartElevated(std::string logName, const char* file, const char* parameters) {
    if (isProcessElevated()) return false;
    char directory[4096];
    if (::getcwd(directory, sizeof directory) == nullptr) {
        vhCritical("Can't get current directory");
        std::exit(1);
    }
    vhDebug(logName + ": Requesting elevation");
    std::string launcher = elevationLauncher();
    std::string program = file;
    const std::string parameter = parameters;
    std::vector<std::string> words;
    std::istringstream split(parameter);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<char*> argv{&launcher[0], &program[0]};
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    // The launcher talks to the user on this terminal: the standard
    // descriptors are passed on, the signals are the default ones.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, launcher.c_str(), nullptr, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        // The launcher is missing or cannot run: name it, not the client.
        vhError(logName + ": Can't start " + launcher + " in " + directory);
        vhError(logName + ": Error during elevation, err " + windowsErrorText(static_cast<unsigned int>(spawned)) +
                ": elevation needs " + launcher + " (the packages pkexec and polkitd); or run the command as root");
        std::exit(1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 126) {
        vhError(logName + ": Elevation not confirmed");
        std::exit(1);
    }
    if (code == 127 || code < 0) {
        vhError(logName + ": Can't start " + program + " in " + directory);
        vhError(logName + ": Error during elevation, err " + launcher +
                (code < 0 ? " ended by signal " + std::to_string(WTERMSIG(status)) : " ended with exit code 127"));
        std::exit(1);
    }
    vhDebug(logName + ": Elevated start of " + program + " " + parameter + " successfull");
    std::exit(code);
}
