#include "TestPaths.h"

#include <Poco/File.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Path.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

// mkdtemp's name is unique machine-wide; a name made from the process id
// is not when tests run in process namespaces of their own.
TempDir::TempDir() {
    std::string pattern = Poco::Path::temp() + "qdk-test-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
    ::chmod(path_.c_str(), 0755); // as a directory made the usual way
}

TempDir::~TempDir() {
    try {
        Poco::File(path_).remove(true);
    } catch (...) {
    }
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void writeTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << text;
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int freeLoopbackPort() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    return socket.address().port();
}

::testing::AssertionResult ownNetworkNamespace() {
    const char* own = std::getenv("QDK_OWN_NETWORK_NAMESPACE");
    if (own != nullptr && std::string(own) == "1") return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "this test listens on, or expects no listener at, a fixed address and runs only in a network "
              "namespace of its own: run it as root through ctest or tests/support/own-namespaces.sh";
}

std::string testSourcePath(const std::string& relative) {
    return std::string(QDK_TEST_SOURCE_DIR) + "/" + relative;
}

const char* debianPython() { return "/usr/bin/python3"; }
