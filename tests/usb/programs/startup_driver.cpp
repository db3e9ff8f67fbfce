// The client's start-up without its user interface, for the tests of the
// command-line steps that end the process (the vhProxy commands): main of
// the client runs the same routine first. The program directory is the one
// where the daemon vhproxy lies in the build tree, or the one that
// QDK_TEST_PROGRAM_DIRECTORY names (a root-owned copy, which the daemon's
// registration accepts).
#include "StartClient.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const std::string banner = "Quarrydesk Client 14.0.0 started with PID " + std::to_string(::getpid());
    const char* directory = std::getenv("QDK_TEST_PROGRAM_DIRECTORY");
    startClient(banner, "qdk-client", directory != nullptr ? directory : QDK_PROGRAM_DIRECTORY, argc, argv);
    return 99; // every step under test ends the process itself
}
