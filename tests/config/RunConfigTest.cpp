// The run paths, the expansion of environment references and the display
// form of paths relative to the working directory.
#include "ConfigFixture.h"

#include "ConfigShellPathValue.h"
#include "ConfigFilePathValue.h"
#include "Logging.h"
#include "RunConfig.h"
#include "SettingsRegistry.h"
#include "TestPaths.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <unistd.h>

using qor::ConfigFilePathValue;

namespace {

// Changes the working directory for one test and goes back afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : previous_(Poco::Path::current()) {
        EXPECT_EQ(::chdir(dir.c_str()), 0);
    }
    ~WorkingDirectory() { EXPECT_EQ(::chdir(previous_.c_str()), 0); }

private:
    std::string previous_;
};

// An installation directory with the program in its bin directory.
class RunConfigTest : public ConfigTest {
protected:
    RunConfigTest() {
        root = Poco::Path(dir.path()).makeDirectory().toString();
        Poco::File(root + "inst/bin").createDirectories();
        Poco::File(root + "logs").createDirectories();
        setProperty("application.dir", root + "inst/bin/");
        configFileLoaded = false;
        ::unsetenv("INVOCATION_ID");
    }

    void useConfigWithProgram(const std::string& xml) {
        useConfig(xml);
        setProperty("application.dir", root + "inst/bin/");
    }

    TempDir dir;
    std::string root;
};

} // namespace

TEST(ExpandShellVariables, OnlyDollarBraceReferencesOnce) {
    ::setenv("QDK_A", "alpha", 1);
    ::setenv("QDK_B", "beta", 1);
    ::setenv("QDK_SELF", "${QDK_SELF}", 1);
    ::setenv("QDK_REF", "${QDK_A}", 1);
    ::setenv("QDK_EMPTY", "", 1);
    ::unsetenv("QDK_UNSET");
    struct Case {
        const char* text;
        const char* expanded;
    } cases[] = {
        {"", ""},
        {"plain/text", "plain/text"},
        {"${QDK_A}", "alpha"},
        {"${QDK_A}/${QDK_B}/x", "alpha/beta/x"},
        {"${QDK_UNSET}/x", "${QDK_UNSET}/x"},
        {"${QDK_A}/${QDK_UNSET}/${QDK_B}", "alpha/${QDK_UNSET}/${QDK_B}"},
        {"}{", "}{"},
        {"a{b}/${QDK_A}", "a{b}/alpha"},
        {"{QDK_A}", "{QDK_A}"},
        {"${QDK_SELF}", "${QDK_SELF}"},
        {"${QDK_REF}", "${QDK_A}"},
        {"${QDK_A", "${QDK_A"},
        {"${}${QDK_A}", "${}alpha"},
        {"[${QDK_EMPTY}]", "[]"},
        {"$${QDK_A}", "$alpha"},
    };
    for (const Case& c : cases) EXPECT_EQ(expandShellVariables(c.text), c.expanded) << c.text;
}

TEST_F(ConfigTest, HomeFallsBackToHomeDirectory) {
    ::unsetenv("HOME");
    ::unsetenv("QDK_UNSET");
    EXPECT_EQ(expandShellVariables("${HOME}"), Poco::Path::home());
    EXPECT_EQ(expandShellVariables("${QDK_UNSET}"), "${QDK_UNSET}");
    EXPECT_TRUE(log.contains("Variable QDK_UNSET not found in environment"));
    ::setenv("HOME", "", 1);
    EXPECT_EQ(expandShellVariables("${HOME}/x"), "${HOME}/x");
}

TEST(MakeCwdRelativePath, WholeDirectoryNamesOnly) {
    TempDir dir;
    const std::string base = Poco::Path(dir.path()).makeDirectory().toString();
    Poco::File(base + "work").createDirectories();
    WorkingDirectory cwd(base + "work");
    const std::string parent = base.substr(0, base.size() - 1);
    struct Case {
        std::string path;
        std::string shown;
    } cases[] = {
        {base + "work/logs/", "./logs/"},
        {base + "work/", "./"},
        {base + "other/x", "../other/x"},
        {base + "work2/x", "../work2/x"},
        {parent + "2/x", parent + "2/x"},
        {base + "work/a" + base + "work/b", "./a" + base + "work/b"},
        {"/elsewhere", "/elsewhere"},
    };
    for (const Case& c : cases) EXPECT_EQ(makeCwdRelativePath(c.path), c.shown) << c.path;
}

TEST_F(RunConfigTest, PathsFollowTheInstallationDirectory) {
    initRunConfigPaths();
    EXPECT_EQ(runConfigCnfPathSetting()->effectiveString(), root + "inst/");
    EXPECT_EQ(runConfigBinPath(), root + "inst/bin/");
    EXPECT_EQ(runConfigRunPathSetting()->effectiveString(), root + "inst/run/");
    std::vector<std::string> keys;
    for (qor::ConfigEntry* entry : registeredConfigEntries()) {
        keys.push_back(entry->key());
        EXPECT_EQ(entry->writeClass(), 4) << entry->key();
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Client.Paths.LogPath", "Client.Paths.CnfPath", "Client.Paths.BinPath",
                                              "Client.Paths.RunPath"}));
}

// The run paths are made once per process, so each configured log path is
// a test of its own.
struct LogPathCase {
    const char* name;
    const char* configured; // "ABS/" stands for the test's root directory
    const char* expected;   // below the root directory
};

class LogPathTest : public RunConfigTest, public ::testing::WithParamInterface<LogPathCase> {};

TEST_P(LogPathTest, FromConfiguration) {
    std::string text = GetParam().configured;
    if (text.rfind("ABS/", 0) == 0) text = root + text.substr(4);
    useConfigWithProgram("<config><Client><Paths><LogPath>" + text + "</LogPath></Paths></Client></config>");
    initRunConfigPaths();
    EXPECT_EQ(runConfigLogPath(), root + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(RunConfig, LogPathTest,
                         ::testing::Values(LogPathCase{"Dot", "./", "inst/"},
                                           LogPathCase{"RelativeToConfigurationDirectory", "../logs", "logs/"},
                                           LogPathCase{"Absolute", "ABS/logs", "logs/"},
                                           LogPathCase{"MissingDirectory", "/nonexistent/qdk/logs", "inst/bin/"}),
                         [](const ::testing::TestParamInfo<LogPathCase>& info) { return info.param.name; });

TEST_F(RunConfigTest, HomeIsTheDefaultLogPath) {
    ::setenv("HOME", (root + "logs").c_str(), 1);
    initRunConfigPaths();
    EXPECT_EQ(runConfigLogPath(), root + "logs/");
}

TEST_F(RunConfigTest, ConfiguredRunAndConfigurationPathsHaveNoEffect) {
    useConfigWithProgram("<config><Client><Paths><RunPath>/tmp/elsewhere</RunPath><CnfPath>/tmp</CnfPath>"
                         "<BinPath>/usr/bin</BinPath></Paths></Client></config>");
    initRunConfigPaths();
    EXPECT_EQ(runConfigRunPathSetting()->effectiveString(), root + "inst/run/");
    EXPECT_EQ(runConfigCnfPathSetting()->effectiveString(), root + "inst/");
    EXPECT_EQ(runConfigBinPath(), root + "inst/bin/");
}

TEST_F(RunConfigTest, LoadedConfigFileNamesTheConfigurationDirectory) {
    configFileLoaded = true;
    setProperty("application.configDir", root + "etc");
    initRunConfigPaths();
    EXPECT_EQ(runConfigCnfPathSetting()->effectiveString(), root + "etc/");
    EXPECT_EQ(runConfigRunPathSetting()->effectiveString(), root + "etc/run/");
}

TEST_F(RunConfigTest, ReportNamesEveryPath) {
    initRunConfigPaths();
    log.clear();
    reportRunPaths();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Started without configuration file", "Conf path : " + root + "inst/",
                               "Bin path  : " + root + "inst/bin/", "Run path  : " + root + "inst/run/",
                               "Log path  : " + runConfigLogPath(), "Current working directory: " + Poco::Path::current()}));
}

TEST_F(RunConfigTest, FilePathsAreRelativeToProgramDirectory) {
    useConfigWithProgram("<config><Client><OpenGL><VShaderRGB>shaders/v.glsl</VShaderRGB>"
                         "<FShaderRGB> /etc/qdk/f.glsl </FShaderRGB></OpenGL></Client></config>");
    initRunConfigPaths();
    const std::string bin = root + "inst/bin/";
    ConfigFilePathValue relative("Client.OpenGL.VShaderRGB", "", 1, LogComponentMask::DECODER);
    ConfigFilePathValue absolute("Client.OpenGL.FShaderRGB", "", 1, LogComponentMask::DECODER);
    ConfigFilePathValue unset("Client.OpenGL.VShaderNV12", "", 1, LogComponentMask::DECODER);
    EXPECT_EQ(relative.get(), bin + "shaders/v.glsl");
    EXPECT_EQ(relative.valueString(), "shaders/v.glsl");
    EXPECT_EQ(relative.fileName(), "v.glsl");
    EXPECT_FALSE(relative.isDefault());
    EXPECT_EQ(absolute.get(), "/etc/qdk/f.glsl");
    EXPECT_EQ(absolute.valueString(), "/etc/qdk/f.glsl");
    EXPECT_EQ(unset.get(), bin);
    EXPECT_TRUE(unset.isDefault());
    EXPECT_EQ(unset.valueString(), "");
    EXPECT_EQ(unset.fileName(), "");
    log.clear();
    EXPECT_TRUE(unset.setFromString("a.glsl"));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Dynamic value 'Client.OpenGL.VShaderNV12 changed value '" + bin +
                                                    "' => 'a.glsl'"});
}

TEST_F(RunConfigTest, ServiceDetectionNeedsRootAndServiceManager) {
    ::unsetenv("INVOCATION_ID");
    EXPECT_FALSE(platformIsSystemService());
    ::setenv("INVOCATION_ID", "0123456789abcdef", 1);
    EXPECT_EQ(platformIsSystemService(), ::geteuid() == 0);
    ::unsetenv("INVOCATION_ID");
}

TEST_F(RunConfigTest, ConfiguredServiceLeavesPathsUnregistered) {
    setProperty("application.runAsService", "true");
    const std::string before = Poco::Path::current();
    initRunConfigPaths();
    EXPECT_TRUE(isRunAsService());
    EXPECT_EQ(Poco::Path::current(), root + "inst/bin/");
    EXPECT_EQ(::chdir(before.c_str()), 0);
    std::vector<std::string> keys;
    for (qor::ConfigEntry* entry : registeredConfigEntries()) keys.push_back(entry->key());
    EXPECT_EQ(keys, std::vector<std::string>{"Client.Paths.LogPath"});
}
