// Writing the configuration back: write classes, full mode, comments for
// defaults, escaping, numbered backups and file permissions.
#include "ConfigFixture.h"

#include "ClientConfig.h"
#include "ClientSettings.h"
#include "ConfigFilePathValue.h"
#include "ConfigStringValue.h"
#include "Logging.h"
#include "RunConfig.h"
#include "SettingsRegistry.h"
#include "TestPaths.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Util/XMLConfiguration.h>

#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using qor::ConfigStringValue;

namespace {

class ConfigWriterTest : public ConfigTest {
protected:
    ConfigWriterTest() : path(dir.file("qdk-client.xml")) {
        setProperty("application.baseName", "qdk-client");
        setProperty("application.configDir", dir.path() + "/");
    }

    bool write(const std::string& target) {
        std::string errorText;
        return getClientConfig()->writeConfigFile(target, true, errorText);
    }

    static bool exists(const std::string& file) { return Poco::File(file).exists(); }
    static unsigned permissions(const std::string& file) {
        struct stat st;
        return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0u;
    }

    TempDir dir;
    std::string path;
};

} // namespace

TEST_F(ConfigWriterTest, NothingToWrite) {
    ASSERT_TRUE(write(path));
    EXPECT_EQ(readTextFile(path), "<config>\n</config>\n");
    EXPECT_TRUE(log.contains("Writing config file '" + path + "'"));
}

TEST_F(ConfigWriterTest, ClassOneAsCommentAndChangedValueInItsSection) {
    clientLogLevel.ensureRegistered(1);
    clientVirtualHereClientPort.ensureRegistered(2);
    clientVirtualHereServerPort.ensureRegistered(2);
    clientVirtualHereClientPort.setFromString("17600");
    ASSERT_TRUE(write(path));
    EXPECT_EQ(readTextFile(path), "<config>\n"
                                  "  <Client>\n"
                                  "        <!-- <LogLevel>information</LogLevel> -->\n"
                                  "        <VirtualHere>\n"
                                  "            <ClientPort>17600</ClientPort>\n"
                                  "        </VirtualHere>\n"
                                  "  </Client>\n"
                                  "</config>\n");
}

TEST_F(ConfigWriterTest, ValueSetBackToDefaultIsNoLongerWritten) {
    clientEncoding.ensureRegistered(2);
    clientEncoding.setFromString("1,0,8");
    ASSERT_TRUE(write(path));
    EXPECT_NE(readTextFile(path).find("<Encoding>1,0,8</Encoding>"), std::string::npos);
    clientEncoding.setFromString("0,0,8");
    ASSERT_TRUE(write(path));
    EXPECT_EQ(readTextFile(path), "<config>\n</config>\n");
}

TEST_F(ConfigWriterTest, FullWriteCommentsDefaultsAndSkipsRunPaths) {
    setProperty("application.dir", dir.path() + "/bin/");
    initRunConfigPaths();
    clientH264Profile.ensureRegistered(2);
    clientKioskModeEnabled.ensureRegistered(2);
    clientLogLevel.ensureRegistered(1);
    clientOpenGLVShaderNV12.ensureRegistered(2);
    clientLogFile.ensureRegistered(2);
    clientLogFileSize.ensureRegistered(2);
    clientLogFileSize.setFromString("20000");
    enableFullConfigWrite();
    ASSERT_TRUE(write(path));
    EXPECT_EQ(readTextFile(path), "<config>\n"
                                  "  <Client>\n"
                                  "        <!-- <h264Profile>BASE</h264Profile> -->\n"
                                  "        <!-- <LogLevel>information</LogLevel> -->\n"
                                  "        <!-- <LogFile>quarrydesk-client.log</LogFile> -->\n"
                                  "        <LogFileSize>20000</LogFileSize>\n"
                                  "        <KioskMode>\n"
                                  "            <!-- <Enabled>false</Enabled> -->\n"
                                  "        </KioskMode>\n"
                                  "        <OpenGL>\n"
                                  "            <!-- <VShaderNV12></VShaderNV12> -->\n"
                                  "        </OpenGL>\n"
                                  "  </Client>\n"
                                  "</config>\n");
}

TEST_F(ConfigWriterTest, SpecialCharactersSurviveWriteAndRead) {
    const std::string values[] = {"a&b", "<tag>", "say \"hi\"", "it's", "x -- y", "--", "&amp;", "]]>"};
    std::vector<std::unique_ptr<ConfigStringValue>> written;
    int n = 0;
    for (const std::string& value : values) {
        written.emplace_back(new ConfigStringValue("Client.Special.V" + std::to_string(n++), "d", {}, 1, 0x1));
        written.back()->ensureRegistered(2);
        written.back()->setFromString(value);
    }
    // Defaults in comments must keep the file well-formed as well.
    ConfigStringValue commented("Client.Special.Commented", "a--b<&>", {}, 1, 0x1);
    commented.ensureRegistered(1);
    ASSERT_TRUE(write(path));

    Poco::AutoPtr<Poco::Util::XMLConfiguration> file;
    ASSERT_NO_THROW(file = new Poco::Util::XMLConfiguration(path));
    useConfig(readTextFile(path));
    n = 0;
    for (const std::string& value : values) {
        ConfigStringValue reread("Client.Special.V" + std::to_string(n++), "d", {}, 1, 0x1);
        EXPECT_EQ(reread.get(), value);
    }
    EXPECT_FALSE(file->hasProperty("Client.Special.Commented"));
}

// The file must stay readable whatever a value holds: what XML 1.0 cannot
// hold (control characters, bytes that are not UTF-8, U+FFFE) is refused
// where it enters, with the reason; tabs, line ends and any UTF-8 text are
// written and read back as they were.
TEST_F(ConfigWriterTest, WhatAFileCannotHoldIsRefusedAndTheFileStaysReadable) {
    struct Case {
        std::string text;
        const char* reason; // null: accepted
    } cases[] = {
        {"bob\x01", "a control character"},
        {"esc\x1b[0m", "a control character"},
        {"caf\xe9", "bytes that are not UTF-8"},
        {"\xc0\xaf", "bytes that are not UTF-8"},          // overlong "/"
        {"\xed\xa0\x80", "bytes that are not UTF-8"},      // a surrogate
        {"\xf4\x90\x80\x80", "bytes that are not UTF-8"},  // past U+10FFFF
        {"x\xef\xbf\xbe", "a character that XML cannot hold"}, // U+FFFE
        {"tab\tand\nline\r\nends", nullptr},
        {"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80 \x7f", nullptr},
    };
    clientUsername.ensureRegistered(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        clientUsername.setFromString("kept");
        log.clear();
        EXPECT_EQ(clientUsername.setFromString(c.text), c.reason == nullptr);
        if (c.reason != nullptr) {
            EXPECT_EQ(clientUsername.get(), "kept");
            ASSERT_EQ(warnings().size(), 2u);
            EXPECT_NE(warnings()[0].find(std::string("' holds ") + c.reason + ", which a configuration file cannot hold."),
                      std::string::npos)
                << warnings()[0];
            EXPECT_EQ(warnings()[0].find_first_of("\x01\x1b\xe9"), std::string::npos) << "shown escaped";
            continue;
        }
        ASSERT_TRUE(write(path));
        useConfig(readTextFile(path));
        ConfigStringValue reread("Client.Username", "", {}, 1, 0x1);
        EXPECT_EQ(reread.get(), c.text);
        useConfig("");
    }
    // The log file name of the command line is refused the same way.
    clientLogFile.ensureRegistered(2);
    EXPECT_FALSE(clientLogFile.update("log\x01.txt"));
    EXPECT_EQ(clientLogFile.valueString(), "quarrydesk-client.log");
}

// Whatever slips past the settings is left out of the file, not written.
TEST_F(ConfigWriterTest, AValueAFileCannotHoldIsLeftOut) {
    qor::ConfigFilePathValue shader("Client.OpenGL.VShaderRGB", "", 1, LogComponentMask::DECODER);
    shader.ensureRegistered(2);
    shader.setFromString("/shaders/a\x01.glsl");
    clientConnectUrl.ensureRegistered(2);
    clientConnectUrl.setFromString("https://desk.example.com");
    ASSERT_TRUE(write(path));
    Poco::AutoPtr<Poco::Util::XMLConfiguration> file;
    ASSERT_NO_THROW(file = new Poco::Util::XMLConfiguration(path));
    EXPECT_EQ(file->getString("Client.ConnectUrl"), "https://desk.example.com");
    EXPECT_FALSE(file->hasProperty("Client.OpenGL.VShaderRGB"));
    EXPECT_TRUE(log.contains("Can't write config setting Client.OpenGL.VShaderRGB: its value holds a control character"));
}

TEST_F(ConfigWriterTest, BackupsAreNumberedAndDroppedWhenUnchanged) {
    clientConnectUrl.ensureRegistered(2);
    clientConnectUrl.setFromString("https://desk.example.com");

    // No file yet: no backup is attempted.
    ASSERT_TRUE(write(path));
    EXPECT_FALSE(exists(path + ".1"));
    EXPECT_FALSE(log.contains("Opened config to backup"));
    const std::string first = readTextFile(path);

    // Same contents again: the backup is made and removed.
    log.clear();
    ASSERT_TRUE(write(path));
    EXPECT_TRUE(log.contains("Opened config to backup: '" + path + "'"));
    EXPECT_TRUE(log.contains("Opened backup location: '" + path + ".1'"));
    EXPECT_FALSE(exists(path + ".1"));

    // Changed contents: the backup stays with the old file.
    clientConnectUrl.setFromString("https://other.example.com");
    ASSERT_TRUE(write(path));
    ASSERT_TRUE(exists(path + ".1"));
    EXPECT_EQ(readTextFile(path + ".1"), first);

    // With .1 taken the next backup is .2.
    clientConnectUrl.setFromString("https://third.example.com");
    ASSERT_TRUE(write(path));
    EXPECT_TRUE(exists(path + ".2"));
    EXPECT_EQ(readTextFile(path + ".1"), first);
    EXPECT_FALSE(exists(path + ".3"));
}

TEST_F(ConfigWriterTest, FilesThatMayHoldPasswordsAreOwnerOnly) {
    clientPassword.ensureRegistered(2);
    clientPassword.setFromString("s3cret");
    ASSERT_TRUE(write(path));
    EXPECT_EQ(permissions(path), 0600u);
    EXPECT_NE(readTextFile(path).find("<Password>s3cret</Password>"), std::string::npos);

    ::chmod(path.c_str(), 0644);
    clientPassword.setFromString("other");
    ASSERT_TRUE(write(path));
    EXPECT_EQ(permissions(path), 0600u) << "an existing file is narrowed";
    ASSERT_TRUE(exists(path + ".1"));
    EXPECT_EQ(permissions(path + ".1"), 0600u);
    for (const std::string& line : log.texts()) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

// A target that is no regular file (a device such as /dev/null, here a
// FIFO) is written to, but its mode is nobody's business of ours.
TEST_F(ConfigWriterTest, ATargetThatIsNoRegularFileKeepsItsMode) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0666), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(write(fifo));
    char buffer[64] = {};
    EXPECT_GT(::read(reader, buffer, sizeof buffer - 1), 0);
    ::close(reader);
    EXPECT_EQ(std::string(buffer), "<config>\n</config>\n");
    EXPECT_EQ(permissions(fifo), 0666u);
}

// Without a name the configuration goes where the client reads it: the
// user's file in the home directory, not the framework's configuration
// directory.
TEST_F(ConfigWriterTest, DefaultPathIsTheUserFileTheClientReads) {
    ::setenv("HOME", dir.path().c_str(), 1);
    setProperty("application.configDir", dir.file(".config/qdk-client/"));
    EXPECT_EQ(defaultConfigFilePath(), dir.path() + "/qdk-client.xml");
    EXPECT_EQ(defaultConfigFilePath(), clientConfigPath(*config, ""));
    ASSERT_TRUE(write(""));
    EXPECT_TRUE(exists(dir.path() + "/qdk-client.xml"));
    EXPECT_FALSE(exists(dir.file(".config")));
}

TEST_F(ConfigWriterTest, AppDataPathIsReplacedByFileInWorkingDirectory) {
    const std::string before = Poco::Path::current();
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    const bool written = write(dir.path() + "/AppData/Roaming/qdk.xml");
    EXPECT_EQ(::chdir(before.c_str()), 0);
    EXPECT_TRUE(written);
    EXPECT_TRUE(exists(dir.path() + "/qdk-client.xml"));
    EXPECT_FALSE(exists(dir.path() + "/AppData"));
}

TEST_F(ConfigWriterTest, UnwritablePathReportsError) {
    std::string errorText;
    const std::string target = dir.path() + "/missing/qdk-client.xml";
    EXPECT_FALSE(getClientConfig()->writeConfigFile(target, true, errorText));
    EXPECT_EQ(errorText, "Can't open configuration file '" + target + "' for writing");
    EXPECT_TRUE(log.contains(errorText));
}
