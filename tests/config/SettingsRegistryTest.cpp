// The registry: registration by key, values handed over before a setting
// registers, environment lookup, the user file and the file report.
#include "ConfigFixture.h"

#include "ConfigIntValue.h"
#include "ConfigShellPathValue.h"
#include "ConfigStringValue.h"
#include "Logging.h"
#include "SettingsRegistry.h"
#include "TestPaths.h"

#include <Poco/Util/MapConfiguration.h>

#include <cstdlib>

using qor::ConfigIntValue;
using qor::ConfigShellPathValue;
using qor::ConfigStringValue;

namespace {
constexpr std::uint64_t OTHER = LogComponentMask::OTHER;
constexpr int NoLimit = qor::ConfigEntry::NoLimit;
using Pairs = std::vector<std::pair<std::string, std::string>>;
} // namespace

TEST_F(ConfigTest, RegisterWithoutPendingValueKeepsValue) {
    ConfigStringValue setting("R.text", "d", {}, 1, OTHER);
    EXPECT_TRUE(registerConfigEntry(&setting));
    EXPECT_EQ(setting.effectiveString(), "d");
    EXPECT_EQ(findConfigEntry("R.text"), &setting);
    EXPECT_EQ(findConfigEntry("R.Text"), nullptr) << "keys are case-sensitive";
    EXPECT_EQ(findConfigEntry("R.tex"), nullptr);
}

TEST_F(ConfigTest, SecondObjectWithSameKeyIsNotRegistered) {
    ConfigStringValue first("R.dup", "1", {}, 1, OTHER);
    ConfigStringValue second("R.dup", "2", {}, 1, OTHER);
    first.ensureRegistered();
    const std::size_t size = registeredConfigEntries().size();
    EXPECT_TRUE(second.ensureRegistered());
    EXPECT_TRUE(second.isRegistered());
    EXPECT_EQ(registeredConfigEntries().size(), size);
    EXPECT_EQ(findConfigEntry("R.dup"), &first);
}

TEST_F(ConfigTest, PathSetBeforeRegistrationIsAppliedAtRegistration) {
    ConfigShellPathValue path("Client.Paths.RunPath", "run/", 1, OTHER);
    EXPECT_TRUE(path.setAndRemember("/var/run/qdk"));
    EXPECT_EQ(pendingConfigValues(), (Pairs{{"Client.Paths.RunPath", "/var/run/qdk"}}));
    path.markLoaded();
    path.ensureRegistered(4);
    EXPECT_EQ(path.effectiveString(), "/var/run/qdk/");
    EXPECT_TRUE(log.contains("Client.Paths.RunPath set by command line option"));
}

TEST_F(ConfigTest, PendingValueIsReplacedInPlace) {
    rememberPendingValue("R.a", "1");
    rememberPendingValue("R.b", "2");
    rememberPendingValue("R.a", "3");
    EXPECT_EQ(pendingConfigValues(), (Pairs{{"R.a", "3"}, {"R.b", "2"}}));
}

TEST_F(ConfigTest, SetByKeyOfRegisteredSettingEndsWithPendingValue) {
    ConfigIntValue setting("R.number", 1, NoLimit, NoLimit, 1, OTHER);
    setting.ensureRegistered();
    rememberPendingValue("R.number", "7");
    EXPECT_TRUE(setConfigValueByKey("R.number", "5", false));
    EXPECT_EQ(setting.get(), 7);
}

TEST_F(ConfigTest, SetByKeyRefusedLeavesPendingListsAlone) {
    ConfigIntValue setting("R.number", 1, 1, 10, 1, OTHER);
    setting.ensureRegistered();
    EXPECT_FALSE(setConfigValueByKey("R.number", "50", true));
    EXPECT_TRUE(pendingConfigValues().empty());
    EXPECT_FALSE(setConfigValueByKey("R.missing", "x", false));
    EXPECT_TRUE(pendingConfigValues().empty());
    EXPECT_FALSE(setConfigValueByKey("R.missing", "x", true));
    EXPECT_EQ(pendingConfigValues(), (Pairs{{"R.missing", "x"}}));
}

TEST_F(ConfigTest, RefusedPendingValueRevertsWithWarning) {
    ConfigIntValue setting("R.number", 3, 1, 10, 1, OTHER);
    rememberPendingValue("R.number", "11");
    setting.ensureRegistered();
    EXPECT_EQ(setting.get(), 3);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"number value '11' is set too high.",
                                                    "Illegal value '11' for config setting R.number.  Keeping value '3'",
                                                    "R.number: invalid command line option, reverting to 3"}));
}

TEST(OsKeySuffix, SelectsLinuxElements) {
    EXPECT_EQ(osKeySuffix(), "[@OS=Linux]");
    EXPECT_EQ(&osKeySuffix(), &osKeySuffix());
}

TEST_F(ConfigTest, EnvironmentLookupPrefersProcessEnvironment) {
    ::setenv("QDK_TEST_BOTH", "process", 1);
    ::unsetenv("QDK_TEST_PROPERTY_ONLY");
    ::unsetenv("QDK_TEST_NOWHERE");
    setProperty("system.env.QDK_TEST_BOTH", "property");
    setProperty("system.env.QDK_TEST_PROPERTY_ONLY", "fromProperty");
    struct Case {
        const char* name;
        bool found;
        const char* value;
    } cases[] = {
        {"QDK_TEST_BOTH", true, "process"},
        {"QDK_TEST_PROPERTY_ONLY", true, "fromProperty"},
        {"QDK_TEST_NOWHERE", false, ""},
    };
    for (const Case& c : cases) {
        std::string value = "stale";
        EXPECT_EQ(lookupEnvironmentVariable(c.name, value), c.found) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
}

TEST_F(ConfigTest, UserConfigFileLiesInHome) {
    TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    Poco::AutoPtr<Poco::Util::MapConfiguration> app(new Poco::Util::MapConfiguration);
    app->setString("application.baseName", "qdk-client");
    EXPECT_EQ(clientConfigPath(*app, ""), home.path() + "/qdk-client.xml");
    EXPECT_EQ(clientConfigPath(*app, "/etc/other/custom.xml"), home.path() + "/custom.xml");
}

TEST_F(ConfigTest, ReportWithoutLoadedFileSaysSoOnly) {
    recordConfigFile("/home/u/qdk-client.xml", false);
    reportConfigFiles();
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Started without config file"});
}

TEST_F(ConfigTest, ReportListsLoadedThenMissingFiles) {
    recordConfigFile("/opt/qdk/qdk-client.xml", true);
    recordConfigFile("/home/u/qdk-client.xml", false);
    reportConfigFiles();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Config file loaded: '/opt/qdk/qdk-client.xml'",
                                                     "Config file not found '/home/u/qdk-client.xml'"}));
}

TEST_F(ConfigTest, UnparsableFileIsReportedAndSettingsKeepDefaults) {
    TempDir dir;
    const std::string good = dir.file("good.xml");
    const std::string broken = dir.file("broken.xml");
    writeTextFile(good, "<config><Client><LogFileNumber>9</LogFileNumber></Client></config>");
    writeTextFile(broken, "<config><Client><LogFileSize>20000</LogFileSize></Client>");
    EXPECT_TRUE(loadConfigFile(*config, good, 0));
    EXPECT_FALSE(loadConfigFile(*config, broken, 0));
    EXPECT_FALSE(loadConfigFile(*config, dir.file("absent.xml"), 0));
    reportConfigFiles();

    ConfigIntValue size("Client.LogFileSize", 32368, 16384, 33554432, 2, OTHER);
    ConfigIntValue number("Client.LogFileNumber", 4, 1, 32, 6, OTHER);
    EXPECT_EQ(size.get(), 32368);
    EXPECT_EQ(number.get(), 9);
    EXPECT_EQ(log.count("Config file '" + broken + "' could not be read, its settings are ignored: "), 1);
    EXPECT_EQ(log.count("Config file '" + dir.file("absent.xml") + "' could not be read"), 1);
    EXPECT_TRUE(log.contains("Config file loaded: '" + good + "'"));
}

// The configuration library expands the references of values that it reads
// itself (the TLS keys): a value of the user's file whose references run away
// is taken out of the file when it is loaded, so no reader expands it.
TEST_F(ConfigTest, AValueWhoseReferencesRunAwayIsTakenOutOfTheFile) {
    TempDir dir;
    const std::string path = dir.file("qdk-client.xml");
    writeTextFile(path, "<config><Client>" + referenceFan(8) + "<LogFileNumber>6</LogFileNumber></Client>"
                        "<openSSL><client><cipherList>${Client.L8}</cipherList></client></openSSL></config>");
    ASSERT_TRUE(loadConfigFile(*config, path, 0));
    EXPECT_FALSE(config->hasProperty("openSSL.client.cipherList"));
    EXPECT_FALSE(config->hasProperty("Client.L3"));
    EXPECT_EQ(config->getString("Client.L2"), std::string(800, 'x'));
    EXPECT_EQ(config->getString("Client.LogFileNumber"), "6");
    EXPECT_EQ(log.count("Illegal value for config setting "), 7); // L3 to L8 and the cipher list
    EXPECT_EQ(log.count("Illegal value for config setting openSSL.client.cipherList: "), 1);
}
