#include "TestPaths.h"

#include <Poco/File.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    path_ = Poco::TemporaryFile::tempName();
    Poco::File(path_).createDirectories();
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

std::string testSourcePath(const std::string& relative) {
    return std::string(QDK_TEST_SOURCE_DIR) + "/" + relative;
}

const char* debianPython() { return "/usr/bin/python3"; }
