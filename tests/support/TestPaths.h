// Helpers for tests that need files, free ports and peer processes.
#pragma once

#include <gtest/gtest.h>

#include <string>

// A fresh, empty directory under the system temp dir, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Writes the text to the file (created or truncated).
void writeTextFile(const std::string& path, const std::string& text);
std::string readTextFile(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Success when the test runs in a network namespace of its own
// (support/own-namespaces.sh), where a fixed address such as 127.0.0.2:80 is
// free and nothing answers at an address the test does not serve; a
// failure that says so elsewhere. For ASSERT_TRUE at the start of a test
// that listens on, or expects no listener at, a fixed address.
::testing::AssertionResult ownNetworkNamespace();

// Absolute path of a file under tests/ in the source tree.
std::string testSourcePath(const std::string& relative);

// The Debian interpreter that sees Debian's python3 packages.
const char* debianPython();
