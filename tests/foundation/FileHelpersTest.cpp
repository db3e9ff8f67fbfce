#include "FileHelpers.h"
#include "LogCapture.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <Poco/DirectoryIterator.h>
#include <Poco/Message.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ExpectedLine {
    int priority; // 0: no line at all
    std::string text;
};

// "" when the capture holds just the expected line (no line at all for
// priority 0), else what it holds instead.
std::string lineMismatch(const LogCapture& capture, const ExpectedLine& expected) {
    const std::vector<CapturedLine> lines = capture.lines();
    const bool holds = expected.priority == 0 ? lines.empty()
                                              : lines.size() == 1 && lines[0].text == expected.text &&
                                                    lines[0].priority == expected.priority;
    if (holds) return "";
    std::string text = "logged";
    for (const CapturedLine& line : lines) text += " (" + std::to_string(line.priority) + ") '" + line.text + "'";
    if (lines.empty()) text += " nothing";
    if (expected.priority == 0) return text + " instead of nothing";
    return text + " instead of (" + std::to_string(expected.priority) + ") '" + expected.text + "'";
}

void expectOnlyLine(const LogCapture& capture, const ExpectedLine& expected, const std::string& what) {
    EXPECT_EQ(lineMismatch(capture, expected), "") << what;
}

struct AttributeCase {
    std::string path;
    int kind;
    int result;
    ExpectedLine line;
};

// A directory with one of each kind of entry the helpers must tell apart.
class FileFixture : public ::testing::Test {
protected:
    void SetUp() override {
        writeTextFile(path("empty"), "");
        writeTextFile(path("data"), "hello world");
        chmod(path("data").c_str(), 0644);
        writeTextFile(path("script"), "#!/bin/sh\n");
        chmod(path("script").c_str(), 0755);
        ASSERT_EQ(mkdir(path("dir").c_str(), 0755), 0);
        ASSERT_EQ(symlink(path("data").c_str(), path("link").c_str()), 0);
        ASSERT_EQ(symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
        ASSERT_EQ(symlink(path("loop").c_str(), path("loop").c_str()), 0);
        ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    }

    std::string path(const std::string& name) const { return dir.file(name); }

    static int openDescriptors() {
        int n = 0;
        for (Poco::DirectoryIterator it(std::string("/proc/self/fd")), end; it != end; ++it) ++n;
        return n;
    }

    static std::string errorText(int code) {
        return std::to_string(code) + ", \"" + std::strerror(code) + "\"";
    }

    // What came out otherwise than the cases say, one text per difference.
    std::vector<std::string> attributeMismatches(const std::vector<AttributeCase>& cases) {
        std::vector<std::string> mismatches;
        for (const AttributeCase& c : cases) {
            capture.clear();
            const std::string what = c.path.substr(0, 80) + " kind " + std::to_string(c.kind) + ": ";
            const int result = checkFileAttributes(c.path, c.kind);
            if (result != c.result)
                mismatches.push_back(what + "result " + std::to_string(result) + " instead of " +
                                     std::to_string(c.result));
            const std::string line = lineMismatch(capture, c.line);
            if (!line.empty()) mismatches.push_back(what + line);
        }
        return mismatches;
    }

    void checkAttributes(const std::vector<AttributeCase>& cases) {
        for (const std::string& mismatch : attributeMismatches(cases)) ADD_FAILURE() << mismatch;
    }

    // The exit code of a child process that checks the cases as an ordinary
    // user: the superuser becomes nobody first. Differences go to standard
    // error, where the death test shows them.
    int checkAttributesAsOrdinaryUser(const std::vector<AttributeCase>& cases) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                                 ::setresuid(kNobody, kNobody, kNobody) != 0)) {
            std::fprintf(stderr, "cannot become user %u: %s\n", kNobody, std::strerror(errno));
            return 2;
        }
        const std::vector<std::string> mismatches = attributeMismatches(cases);
        for (const std::string& mismatch : mismatches) std::fprintf(stderr, "%s\n", mismatch.c_str());
        return mismatches.empty() ? 0 : 1;
    }

    static constexpr uid_t kNobody = 65534;

    TempDir dir;
    LogCapture capture;
};

constexpr int kError = Poco::Message::PRIO_ERROR;
constexpr int kCritical = Poco::Message::PRIO_CRITICAL;

} // namespace

TEST_F(FileFixture, CheckFileAttributesTable) {
    const std::vector<AttributeCase> cases = {
        {"", 0, FileAttributes::Failed, {kError, "Empty file path in checkFileAttributes"}},
        {path("missing"), 0, FileAttributes::Missing, {}},
        {path("missing"), 3, FileAttributes::Missing, {}},
        {path("dir"), 0, FileAttributes::NotRegularFile, {}},
        {path("dir"), 2, FileAttributes::NotRegularFile, {}},
        {path("dir"), 3, FileAttributes::Usable, {}},
        {path("data"), 3, FileAttributes::NotDirectory, {}},
        {path("empty"), 1, FileAttributes::EmptyFile, {}},
        {path("empty"), 0, FileAttributes::Usable, {}},
        {path("data"), 1, FileAttributes::Usable, {}},
        {path("data"), 2, FileAttributes::NotExecutable, {}}, // no execute bit at all: fails even for root
        {path("script"), 2, FileAttributes::Usable, {}},
        {path("data"), 4, FileAttributes::Usable, {}},
        {path("data"), 5, FileAttributes::Usable, {}},
        {path("data"), 42, FileAttributes::Usable, {}},
        {path("link"), 1, FileAttributes::Usable, {}},        // links are followed
        {path("dangling"), 0, FileAttributes::Missing, {}},
        {"/dev/null", 0, FileAttributes::NotRegularFile, {}},
        {"/dev/null", 3, FileAttributes::NotDirectory, {}},
        {path("fifo"), 0, FileAttributes::NotRegularFile, {}},
        {path("loop"), 0, FileAttributes::Missing,
         {kError, "Path name too long in checkFileAttributes, '" + path("loop") + "'"}},
        {path("data") + "/x", 0, FileAttributes::Missing,
         {kError, "Invalid argument in checkFileAttributes, '" + path("data") + "/x'"}},
        {std::string(5000, 'a'), 0, FileAttributes::Missing,
         {kError, "Path name too long in checkFileAttributes, '" + std::string(5000, 'a') + "'"}},
    };
    checkAttributes(cases);
}

// The superuser passes every read and write test, so these run in a child
// process as an ordinary user: as nobody, who then owns the files, when the
// tests run as root.
TEST_F(FileFixture, CheckFileAttributesPermissions) {
    writeTextFile(path("writeOnly"), "x");
    ASSERT_EQ(chmod(path("writeOnly").c_str(), 0200), 0);
    writeTextFile(path("readOnly"), "x");
    ASSERT_EQ(chmod(path("readOnly").c_str(), 0400), 0);
    ASSERT_EQ(mkdir(path("closed").c_str(), 0), 0);
    if (geteuid() == 0) {
        for (const char* name : {"writeOnly", "readOnly", "closed"})
            ASSERT_EQ(chown(path(name).c_str(), kNobody, kNobody), 0) << name;
    }
    const std::vector<AttributeCase> cases = {
        {path("writeOnly"), 4, FileAttributes::NotReadable, {}},
        {path("writeOnly"), 5, FileAttributes::Usable, {}},
        {path("readOnly"), 4, FileAttributes::Usable, {}},
        {path("readOnly"), 5, FileAttributes::NotWritable, {}},
        {path("readOnly"), 6, FileAttributes::NotWritable, {}},
        {path("closed") + "/x", 0, FileAttributes::Missing,
         {kError, "Access denied in checkFileAttributes, '" + path("closed") + "/x'"}},
    };
    EXPECT_EXIT(std::_Exit(checkAttributesAsOrdinaryUser(cases)), ::testing::ExitedWithCode(0), "");
    chmod(path("closed").c_str(), 0755);
}

TEST_F(FileFixture, OpenRefusesLinksDirectoriesAndDevices) {
    struct Case {
        std::string path;
        int mode;
        ExpectedLine line;
    } cases[] = {
        {path("link"), 0, {kCritical, "Found unexpected symlink at '" + path("link") + "', refusing to open file"}},
        {path("link"), 1, {kCritical, "Found unexpected symlink at '" + path("link") + "', refusing to open file"}},
        {path("dangling"), 1,
         {kCritical, "Found unexpected symlink at '" + path("dangling") + "', refusing to open file"}},
        {path("dir"), 0, {kCritical, "File to open '" + path("dir") + "' points to directory, can't open"}},
        {path("dir"), 1, {kError, "Can't open file '" + path("dir") + "', " + errorText(EISDIR)}},
        {"/dev/null", 0, {kCritical, "File to open '/dev/null' points to character device, refusing to open"}},
        {"/dev/null", 1, {kCritical, "File to open '/dev/null' points to character device, refusing to open"}},
        {path("missing"), 0, {kError, "Can't open file '" + path("missing") + "', " + errorText(ENOENT)}},
        // A FIFO without a reader is refused at once instead of blocking the open.
        {path("fifo"), 1, {kError, "Can't open file '" + path("fifo") + "', " + errorText(ENXIO)}},
        {path("data"), 3, {kCritical, "Undefined open mode, refusing to open fd, " + errorText(EINVAL)}},
        {path("data"), -1, {kCritical, "Undefined open mode, refusing to open fd, " + errorText(EINVAL)}},
    };
    const int descriptorsBefore = openDescriptors();
    for (const Case& c : cases) {
        capture.clear();
        FileHandle handle = openFileWithMode(c.path, c.mode, false, false);
        EXPECT_FALSE(handle) << c.path << " mode " << c.mode;
        expectOnlyLine(capture, c.line, c.path + " mode " + std::to_string(c.mode));
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    // Nothing was written through the links.
    EXPECT_EQ(readTextFile(path("data")), "hello world");
    EXPECT_EQ(checkFileAttributes(path("nowhere"), 0), FileAttributes::Missing);
}

TEST_F(FileFixture, OpenModesCreateTruncateAndAppend) {
    {
        FileHandle created = openFileWithMode(path("new"), 1, false, false);
        ASSERT_TRUE(created);
        EXPECT_FALSE(created.isPipe());
        EXPECT_EQ(created.write("abc", 3), 3);
    }
    EXPECT_EQ(readTextFile(path("new")), "abc");
    struct stat st;
    ASSERT_EQ(stat(path("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    {
        FileHandle truncated = openFileWithMode(path("data"), 1, true, false);
        ASSERT_TRUE(truncated);
        EXPECT_EQ(truncated.write("x", 1), 1);
    }
    EXPECT_EQ(readTextFile(path("data")), "x");

    {
        FileHandle appended = openFileWithMode(path("data"), 2, false, false);
        ASSERT_TRUE(appended);
        EXPECT_EQ(appended.write("yz", 2), 2);
    }
    EXPECT_EQ(readTextFile(path("data")), "xyz");

    FileHandle reader = openFileWithMode(path("data"), 0, true, false);
    ASSERT_TRUE(reader);
    char buffer[16] = {};
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "xyz");
    EXPECT_EQ(reader.write("!", 1), -1);
    std::FILE* stream = reader.releaseStream();
    EXPECT_FALSE(reader);
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(FileFixture, ReadingAFifoDoesNotWaitForAWriter) {
    FileHandle handle = openFileWithMode(path("fifo"), 0, false, false);
    ASSERT_TRUE(handle);
    char byte;
    EXPECT_EQ(handle.read(&byte, 1), 0);
}

TEST(OpenFileSafely, StreamModes) {
    TempDir dir;
    writeTextFile(dir.file("f"), "");
    struct Case {
        int mode;
        bool binary;
        const char* streamMode;
    } cases[] = {
        {0, false, "r"}, {0, true, "rb"}, {1, false, "w"}, {1, true, "wb"},
        {2, false, "a"}, {2, true, "ab"}, {7, false, ""},  {7, true, ""},
    };
    for (const Case& c : cases) {
        std::string streamMode = "unset";
        const int fd = openFileSafely(dir.file("f"), c.mode, streamMode, c.binary);
        ASSERT_GE(fd, 0) << c.mode;
        EXPECT_EQ(streamMode, c.streamMode) << c.mode << " " << c.binary;
        close(fd);
    }
}

class NamedPipeFixture : public FileFixture {};

TEST_F(NamedPipeFixture, ServerReadsWhatTheClientWrites) {
    const std::string name = path("pipe");
    FileHandle server = openFileWithMode(name, 0, true, true);
    ASSERT_TRUE(server);
    EXPECT_TRUE(server.isPipe());
    EXPECT_TRUE(capture.contains("Created named pipe: " + name));
    FileHandle client = openFileWithMode(name, 1, false, true);
    ASSERT_TRUE(client);
    EXPECT_TRUE(capture.contains("Creating client named pipe: " + name));

    EXPECT_EQ(client.write("hello", 5), 5);
    char buffer[16] = {};
    EXPECT_EQ(server.read(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");
    // Each end works in its own direction only.
    EXPECT_EQ(server.write("x", 1), -1);
    EXPECT_EQ(client.read(buffer, 1), -1);

    EXPECT_TRUE(server.close());
    EXPECT_EQ(checkFileAttributes(name, 0), FileAttributes::Missing); // the server removed its pipe
}

TEST_F(NamedPipeFixture, ClientReadsWhatTheServerWrote) {
    const std::string name = path("pipe");
    FileHandle server = openFileWithMode(name, 1, true, true);
    ASSERT_TRUE(server);
    // Written before any client is there: kept for the client.
    EXPECT_EQ(server.write("ping", 4), 4);
    FileHandle client = openFileWithMode(name, 0, false, true);
    ASSERT_TRUE(client);
    char buffer[16] = {};
    EXPECT_EQ(client.read(buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "ping");
    server.close();
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0); // end of data once the server is gone
}

TEST_F(NamedPipeFixture, FailuresAreLoggedPerSide) {
    const int descriptorsBefore = openDescriptors();
    struct Case {
        std::string name;
        int mode;
        bool server;
        ExpectedLine line;
    } cases[] = {
        {path("absent"), 0, false,
         {Poco::Message::PRIO_DEBUG, "Create NamedPipe (read) " + path("absent") + " failed: " + errorText(ENOENT)}},
        // A pipe nobody serves: a writing client fails at once.
        {path("fifo"), 1, false,
         {Poco::Message::PRIO_DEBUG, "Create NamedPipe (read) " + path("fifo") + " failed: " + errorText(ENXIO)}},
        {path("data"), 0, false,
         {Poco::Message::PRIO_DEBUG, "Create NamedPipe (read) " + path("data") + " failed: " + errorText(ENXIO)}},
        {path("data"), 0, true, {kError, "Create NamedPipe (write) " + path("data") + " failed: " + errorText(EEXIST)}},
        {path("link"), 1, true, {kError, "Create NamedPipe (write) " + path("link") + " failed: " + errorText(ELOOP)}},
        {path("missing") + "/pipe", 0, true,
         {kError, "Create NamedPipe (write) " + path("missing") + "/pipe failed: " + errorText(ENOENT)}},
    };
    for (const Case& c : cases) {
        capture.clear();
        EXPECT_FALSE(openFileWithMode(c.name, c.mode, c.server, true)) << c.name;
        std::vector<CapturedLine> lines = capture.lines();
        // The client side announces itself at trace before it tries.
        if (!c.server && !lines.empty() && lines[0].priority == Poco::Message::PRIO_TRACE) lines.erase(lines.begin());
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0].text, c.line.text);
        EXPECT_EQ(lines[0].priority, c.line.priority) << c.name;
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(readTextFile(path("data")), "hello world");
}

TEST(OsCommandName, Table) {
    LogCapture capture;
    struct Case {
        int key;
        const char* name;
        bool critical;
    } cases[] = {
        {0, "pidof", false}, {7, "egrep", false}, {22, "xdg-open", false}, {26, "cmd", false},
        {27, "defaults", false}, {28, "", true}, {-1, "", true},
    };
    for (const Case& c : cases) {
        capture.clear();
        EXPECT_EQ(osCommandName(c.key), c.name) << c.key;
        const std::vector<CapturedLine> lines = capture.lines();
        if (c.critical) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].text, "Undefined request for os command, key value = " + std::to_string(c.key));
            EXPECT_EQ(lines[0].priority, Poco::Message::PRIO_CRITICAL);
        } else {
            EXPECT_TRUE(lines.empty()) << c.key;
        }
    }
}
