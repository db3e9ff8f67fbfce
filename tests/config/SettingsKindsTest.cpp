// The settings kinds: key parts, value types, ranges and allowed values,
// parsing of texts, the change and refusal messages, passwords.
#include "ConfigFixture.h"

#include "ClientConfig.h"
#include "ConfigBoolValue.h"
#include "ConfigIntValue.h"
#include "ConfigPasswordValue.h"
#include "ConfigShellPathValue.h"
#include "ConfigShellStringValue.h"
#include "ConfigStringValue.h"
#include "Logging.h"
#include "SettingsRegistry.h"

#include <Poco/Message.h>

#include <atomic>
#include <thread>

using qor::ConfigBoolValue;
using qor::ConfigEntry;
using qor::ConfigIntValue;
using qor::ConfigPasswordValue;
using qor::ConfigShellPathValue;
using qor::ConfigShellStringValue;
using qor::ConfigStringValue;

namespace {
constexpr std::uint64_t OTHER = LogComponentMask::OTHER;
constexpr int NoLimit = ConfigEntry::NoLimit;
} // namespace

TEST(ConfigEntryKey, PartsAndPrefix) {
    struct Case {
        const char* key;
        std::vector<std::string> parts;
        const char* prefix;
    } cases[] = {
        {"Client.LogLevel", {"Client", "LogLevel"}, "Client"},
        {"Single", {"Single"}, ""},
        {"a..b", {"a", "", "b"}, "a."},
        {"openSSL.client.cipherList", {"openSSL", "client", "cipherList"}, "openSSL.client"},
        {"x.", {"x", ""}, "x"},
    };
    for (const Case& c : cases) {
        ConfigStringValue setting(c.key, "", {}, 1, OTHER);
        EXPECT_EQ(setting.components(), c.parts) << c.key;
        EXPECT_EQ(setting.componentCount(), static_cast<int>(c.parts.size())) << c.key;
        EXPECT_EQ(setting.prefix(), c.prefix) << c.key;
        EXPECT_EQ(setting.key(), c.key);
    }
}

// Before any configuration exists (plain TEST: no fixture installs one), a
// value set through trySet survives reads of every kind.
TEST(ConfigEntryKinds, ValuesSetBeforeAConfigurationExistSurviveReads) {
    ASSERT_EQ(applicationConfiguration(), nullptr);
    ConfigBoolValue flag("T.early.flag", false, 1, OTHER);
    ConfigIntValue number("T.early.number", 5, NoLimit, NoLimit, 1, OTHER);
    ConfigStringValue text("T.early.text", "a", {}, 1, OTHER);
    ASSERT_TRUE(flag.trySet(true));
    ASSERT_TRUE(number.trySet(7));
    ASSERT_TRUE(text.trySet("b"));
    for (int read = 0; read < 2; ++read) {
        EXPECT_TRUE(flag.get());
        EXPECT_EQ(number.get(), 7);
        EXPECT_EQ(text.get(), "b");
    }
}

TEST(ConfigEntryKinds, TypesRangesAndAllowedValues) {
    ConfigStringValue text("T.text", "a", {}, 1, OTHER);
    ConfigStringValue listed("T.listed", "a", {"a", "b"}, 1, OTHER);
    ConfigPasswordValue password("T.password", "pw", 1, OTHER);
    ConfigShellStringValue shell("T.shell", "${HOME}", 1, OTHER);
    ConfigShellPathValue path("T.path", "run/", 1, OTHER);
    ConfigBoolValue flag("T.flag", true, 1, OTHER);
    ConfigIntValue open("T.open", 5, NoLimit, NoLimit, 1, OTHER);
    ConfigIntValue low("T.low", 5, 1, NoLimit, 1, OTHER);
    ConfigIntValue both("T.both", 5, 1, 10, 1, OTHER);
    struct Case {
        ConfigEntry* entry;
        int type;
        bool range;
        int min;
        int max;
        bool allowed;
        const char* defaultText;
    } cases[] = {
        {&text, 0, false, NoLimit, NoLimit, false, "a"},
        {&listed, 0, false, NoLimit, NoLimit, true, "a"},
        {&password, 0, false, NoLimit, NoLimit, false, "pw"},
        {&shell, 0, false, NoLimit, NoLimit, false, "${HOME}"},
        {&path, 0, false, NoLimit, NoLimit, false, "run/"},
        {&flag, 3, false, NoLimit, NoLimit, false, "true"},
        {&open, 1, false, NoLimit, NoLimit, false, "5"},
        {&low, 1, true, 1, NoLimit, false, "5"},
        {&both, 1, true, 1, 10, false, "5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry->key());
        EXPECT_EQ(c.entry->valueType(), c.type);
        EXPECT_EQ(c.entry->hasRange(), c.range);
        EXPECT_EQ(c.entry->minValue(), c.min);
        EXPECT_EQ(c.entry->maxValue(), c.max);
        EXPECT_EQ(c.entry->hasAllowedValues(), c.allowed);
        EXPECT_EQ(c.entry->allowedValues() != nullptr, c.type == 0 && c.entry != &shell && c.entry != &path);
        EXPECT_EQ(c.entry->defaultString(), c.defaultText);
        EXPECT_TRUE(c.entry->isDefault());
        EXPECT_FALSE(c.entry->isRegistered());
        EXPECT_EQ(c.entry->writeClass(), 2);
    }
}

TEST_F(ConfigTest, IntegerFromTextWithLimitsAndMessages) {
    struct Case {
        const char* text;
        bool accepted;
        int value;
        std::vector<std::string> warnings;
    } cases[] = {
        {"100", false, 32368,
         {"LogFileSize value '100' is set too low.",
          "Illegal value '100' for config setting T.LogFileSize.  Keeping value '32368'"}},
        {"40000000", false, 32368,
         {"LogFileSize value '40000000' is set too high.",
          "Illegal value '40000000' for config setting T.LogFileSize.  Keeping value '32368'"}},
        {"12ab", false, 32368,
         {"Illegal number syntax in value '12ab' for config setting T.LogFileSize.  Keeping value '32368'"}},
        {"", false, 32368, {"Illegal number syntax in value '' for config setting T.LogFileSize.  Keeping value '32368'"}},
        {"16383", false, 32368,
         {"LogFileSize value '16383' is set too low.",
          "Illegal value '16383' for config setting T.LogFileSize.  Keeping value '32368'"}},
        {"16384", true, 16384, {}},
        {"33554432", true, 33554432, {}},
        {"20,000", true, 20000, {}},
        {"+17000", true, 17000, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ConfigIntValue setting("T.LogFileSize", 32368, 16384, 33554432, 2, OTHER);
        setting.get();
        log.clear();
        EXPECT_EQ(setting.setFromString(c.text), c.accepted);
        EXPECT_EQ(setting.get(), c.value);
        EXPECT_EQ(warnings(), c.warnings);
        EXPECT_EQ(setting.isValueRejected(), !c.accepted);
    }
}

TEST_F(ConfigTest, IntegerWithoutLimitsTakesAnyNumber) {
    ConfigIntValue setting("T.interval", 6, NoLimit, NoLimit, 1, OTHER);
    setting.get();
    for (int v : {-42, -100000, 0, 2147483647}) {
        EXPECT_TRUE(setting.trySet(v));
        EXPECT_EQ(setting.get(), v);
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(ConfigTest, IntegerTrySetRefusesOutOfRangeWithLimitWarningOnly) {
    ConfigIntValue setting("T.port", 17574, 1, 65536, 1, OTHER);
    setting.get();
    EXPECT_FALSE(setting.trySet(0));
    EXPECT_EQ(warnings(), std::vector<std::string>{"port value '0' is set too low."});
    EXPECT_TRUE(setting.trySet(65536));
    EXPECT_EQ(setting.get(), 65536);
    EXPECT_FALSE(setting.isValueRejected());
}

TEST_F(ConfigTest, BooleanFromText) {
    struct Case {
        const char* text;
        bool accepted;
        bool value;
    } cases[] = {
        {"yes", true, true}, {"ON", true, true}, {"True", true, true},  {"1", true, true},
        {"0", true, false},  {"off", true, false}, {"NO", true, false}, {"maybe", false, true},
        {"default", false, true}, {"", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ConfigBoolValue setting("T.flag", true, 1, OTHER);
        setting.get();
        log.clear();
        EXPECT_EQ(setting.setFromString(c.text), c.accepted);
        EXPECT_EQ(setting.get(), c.value);
        EXPECT_TRUE(warnings().empty()) << "booleans refuse silently";
    }
}

TEST_F(ConfigTest, BooleanChangeMessagesNameTheDefault) {
    ConfigBoolValue setting("T.flag", true, 1, OTHER);
    setting.get();
    log.clear();
    setting.trySet(false);
    setting.trySet(false);
    setting.trySet(true);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Dynamic value 'T.flag' => 'false'",
                                                     "Dynamic value 'T.flag' => 'true' (default)"}));
}

TEST_F(ConfigTest, QuietSettingsDoNotLogChanges) {
    ConfigBoolValue flag("T.flag", true, ConfigEntry::QuietLevel, OTHER);
    ConfigIntValue number("T.number", 1, NoLimit, NoLimit, ConfigEntry::QuietLevel | 2, OTHER);
    ConfigShellStringValue shell("T.shell", "a", ConfigEntry::QuietLevel, OTHER);
    flag.trySet(false);
    number.trySet(7);
    shell.update("b");
    EXPECT_TRUE(log.texts().empty());
    EXPECT_TRUE(shell.isDefault()) << "a quiet shell setting counts as default";
}

TEST_F(ConfigTest, TextChangeLevelsAndUpdateIsSilent) {
    ConfigStringValue setting("T.text", "", {}, 1, OTHER);
    setting.setFromString("first");   // from empty: trace
    setting.setFromString("first");   // unchanged: nothing
    setting.setFromString("second");  // debug
    setting.update("third");          // silent
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].priority, Poco::Message::PRIO_TRACE);
    EXPECT_EQ(log.lines()[0].text, "Dynamic value 'T.text' => 'first'");
    EXPECT_EQ(log.lines()[1].priority, Poco::Message::PRIO_DEBUG);
    EXPECT_EQ(log.lines()[1].text, "Dynamic value 'T.text' => 'second'");
    EXPECT_EQ(setting.effectiveString(), "third");
}

TEST_F(ConfigTest, TextAllowedValuesAreExactAndRefusalKeepsValue) {
    ConfigStringValue setting("T.mode", "normal", {"normal", "quads", "off"}, 1, OTHER);
    EXPECT_TRUE(setting.setFromString("off"));
    log.clear();
    EXPECT_FALSE(setting.setFromString("Off"));
    EXPECT_FALSE(setting.update("quad"));
    EXPECT_EQ(warnings(), (std::vector<std::string>{
                              "Illegal value 'Off' for config setting T.mode.  Keeping value 'off'",
                              "Illegal value 'quad' for config setting T.mode.  Keeping value 'off'"}));
    EXPECT_EQ(setting.effectiveString(), "off");
    EXPECT_FALSE(setting.isDefault());
}

TEST_F(ConfigTest, ComponentMaskPromotesChangeMessages) {
    debugComponentMask = LogComponentMask::CONF;
    log.setLevel("information");
    ConfigStringValue setting("T.text", "a", {}, 1, OTHER);
    setting.setFromString("b");
    EXPECT_EQ(log.texts(), std::vector<std::string>{"CONF:Dynamic value 'T.text' => 'b'"});
}

TEST_F(ConfigTest, PasswordsNeverReachTheLog) {
    useConfig("<config><Client><Password>fromFile-s3cret</Password>"
              "<Broker><Password>broker-s3cret</Password></Broker></Client></config>");
    debugComponentMask = ~std::uint64_t(0);
    traceComponentMask = ~std::uint64_t(0);
    ConfigPasswordValue password("Client.Password", "", 1, LogComponentMask::AUTH);
    ConfigPasswordValue broker("Client.Broker.Password", "", 1, LogComponentMask::BROKER);
    rememberPendingValue("Client.Password", "pending-s3cret");
    password.ensureRegistered(2);
    broker.get();
    password.setFromString("set-s3cret");
    password.update("update-s3cret");
    password.trySet("try-s3cret");
    ConfigStringValue copy(password);
    copy.setFromString("copy-s3cret");

    EXPECT_EQ(password.effectiveString(), "try-s3cret");
    EXPECT_EQ(broker.effectiveString(), "broker-s3cret");
    EXPECT_FALSE(copy.showsValue());
    ASSERT_FALSE(log.texts().empty());
    for (const std::string& line : log.texts()) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    EXPECT_TRUE(log.contains("Configuration value 'Client.Password' => set"));
    EXPECT_TRUE(log.contains("Client.Password set by command line option"));
}

TEST_F(ConfigTest, RefusedPasswordIsMaskedInWarnings) {
    // A password setting with allowed values only exists as a copy into a
    // listed text setting; its refusal still must not show the text.
    ConfigPasswordValue password("T.secret", "a", 1, OTHER);
    ConfigStringValue masked(password);
    masked.setAllowedValues({"a"});
    EXPECT_FALSE(masked.setFromString("s3cret"));
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "Illegal value '********' for config setting T.secret.  Keeping value '********'"});
}

TEST_F(ConfigTest, SetMakesTheValueTheDefaultForTextsOnly) {
    ConfigStringValue text("T.text", "a", {}, 1, OTHER);
    ConfigShellStringValue shell("T.shell", "raw", 1, OTHER);
    EXPECT_TRUE(text.set("b"));
    EXPECT_TRUE(shell.set("other"));
    EXPECT_EQ(text.defaultString(), "b");
    EXPECT_EQ(shell.defaultString(), "raw");
}

TEST_F(ConfigTest, ShellPathStoresExpandedDirectory) {
    ::setenv("QDK_TEST_DIR", "/srv/qdk", 1);
    ConfigShellPathValue path("T.path", "run/", 1, OTHER);
    struct Case {
        const char* text;
        const char* value;
        bool isDefault;
    } cases[] = {
        {"", "./", false},
        {"run", "run/", true},
        {"${QDK_TEST_DIR}/logs", "/srv/qdk/logs/", false},
        {"/abs/dir/", "/abs/dir/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(path.setFromString(c.text));
        EXPECT_EQ(path.valueString(), c.value);
        EXPECT_EQ(path.effectiveString(), c.value);
        EXPECT_EQ(path.isDefault(), c.isDefault);
    }
}

TEST_F(ConfigTest, ShellStringExpandsOnRead) {
    ::setenv("QDK_TEST_NAME", "client", 1);
    ConfigShellStringValue file("T.file", "quarrydesk-client.log", 1, OTHER);
    EXPECT_TRUE(file.update("${QDK_TEST_NAME}.log"));
    EXPECT_EQ(file.valueString(), "${QDK_TEST_NAME}.log");
    EXPECT_EQ(file.effectiveString(), "client.log");
    EXPECT_FALSE(file.isDefault());
    EXPECT_TRUE(log.contains("Dynamic value 'T.file' => '${QDK_TEST_NAME}.log'"));
}

TEST_F(ConfigTest, RegistrationHappensOnceAndKeepsFirstWriteClass) {
    useConfig("<config><T><mode>Off</mode></T></config>");
    ConfigStringValue setting("T.mode", "normal", {"normal", "quads", "off"}, 1, OTHER);
    EXPECT_FALSE(setting.ensureRegistered(1));
    EXPECT_FALSE(setting.ensureRegistered(2));
    EXPECT_EQ(setting.writeClass(), 1);
    EXPECT_EQ(setting.effectiveString(), "normal");
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "Illegal value 'Off' for config setting T.mode.  Using default value 'normal'"});
}

TEST_F(ConfigTest, GetLoadsOnceAndEqualsDoesNotLoad) {
    useConfig("<config><T><text>configured</text></T></config>");
    ConfigStringValue setting("T.text", "builtin", {}, 1, OTHER);
    EXPECT_TRUE(setting.equals("builtin")) << "equals compares without loading";
    EXPECT_EQ(setting.get(), "configured");
    useConfig("<config><T><text>changed</text></T></config>");
    EXPECT_EQ(setting.get(), "configured");
    EXPECT_EQ(log.count("'T.text' => 'configured'"), 1);
}

TEST_F(ConfigTest, ReadBeforeConfigurationExistsLoadsLater) {
    ConfigIntValue setting("T.number", 3, NoLimit, NoLimit, 1, OTHER);
    createClientConfig(nullptr)->m_baseConfig = nullptr;
    EXPECT_EQ(setting.get(), 3);
    EXPECT_FALSE(setting.isLoaded());
    useConfig("<config><T><number>9</number></T></config>");
    EXPECT_EQ(setting.get(), 9);
}

TEST_F(ConfigTest, ConcurrentFirstReadsLoadOnce) {
    useConfig("<config><T><text>configured</text><path>${QDK_TEST_CONCURRENT}/x</path></T></config>");
    ::setenv("QDK_TEST_CONCURRENT", "/srv", 1);
    ConfigStringValue text("T.text", "builtin", {}, 1, OTHER);
    ConfigShellStringValue path("T.path", "", 1, OTHER);
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 8; ++i) {
        readers.emplace_back([&] {
            for (int n = 0; n < 200; ++n) {
                if (text.get() != "configured") ++wrong;
                path.get();
                if (path.effectiveString() != "/srv/x") ++wrong;
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(log.count("'T.text' => 'configured'"), 1);
    EXPECT_EQ(log.count("'T.path' =>"), 1);
}
