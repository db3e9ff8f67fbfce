// Loading settings from the XML configuration: the OS selector, "default"
// for booleans, number forms, refusals at load and unparsable values.
#include "ConfigFixture.h"

#include "ConfigBoolValue.h"
#include "ConfigIntValue.h"
#include "ConfigShellStringValue.h"
#include "ConfigStringValue.h"
#include "Logging.h"

using qor::ConfigBoolValue;
using qor::ConfigIntValue;
using qor::ConfigStringValue;

namespace {
constexpr std::uint64_t OTHER = LogComponentMask::OTHER;

std::string clientXml(const std::string& inner) { return "<config><Client>" + inner + "</Client></config>"; }
} // namespace

TEST_F(ConfigTest, OsSelectorPrefersLinuxThenUnmarked) {
    struct Case {
        const char* name;
        std::string inner;
        int value;
    } cases[] = {
        {"linux first", "<LogFileNumber OS=\"Linux\">8</LogFileNumber><LogFileNumber>6</LogFileNumber>", 8},
        {"linux second", "<LogFileNumber>6</LogFileNumber><LogFileNumber OS=\"Linux\">8</LogFileNumber>", 8},
        {"unmarked only", "<LogFileNumber>6</LogFileNumber>", 6},
        {"empty OS", "<LogFileNumber OS=\"\">7</LogFileNumber>", 7},
        {"windows only", "<LogFileNumber OS=\"Windows\">8</LogFileNumber>", 4},
        {"windows and unmarked", "<LogFileNumber OS=\"Windows\">8</LogFileNumber><LogFileNumber>6</LogFileNumber>", 6},
        {"case matters", "<LogFileNumber OS=\"linux\">8</LogFileNumber>", 4},
        {"absent", "", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useConfig(clientXml(c.inner));
        ConfigIntValue setting("Client.LogFileNumber", 4, 1, 32, 6, OTHER);
        EXPECT_EQ(setting.get(), c.value);
    }
}

TEST_F(ConfigTest, DefaultWordMeansBuiltinForBooleansOnly) {
    useConfig(clientXml("<Flag>default</Flag><Text>default</Text><Mode>default</Mode>"));
    ConfigBoolValue flag("Client.Flag", true, 1, OTHER);
    ConfigStringValue text("Client.Text", "builtin", {}, 1, OTHER);
    ConfigStringValue mode("Client.Mode", "normal", {"normal", "off"}, 1, OTHER);
    EXPECT_TRUE(flag.get());
    EXPECT_TRUE(flag.isDefault());
    EXPECT_EQ(text.get(), "default");
    EXPECT_EQ(mode.get(), "normal");
    EXPECT_TRUE(mode.isValueRejected());
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "Illegal value 'default' for config setting Client.Mode.  Using default value 'normal'"});
}

TEST_F(ConfigTest, BooleanElementForms) {
    struct Case {
        const char* text;
        bool value;
        bool warned;
    } cases[] = {
        {"yes", true, false}, {"FALSE", false, false}, {"2", true, false},
        {"0", false, false},  {"maybe", true, true},   {"", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        useConfig(clientXml(std::string("<Flag>") + c.text + "</Flag>"));
        log.clear();
        ConfigBoolValue flag("Client.Flag", true, 1, OTHER);
        EXPECT_EQ(flag.get(), c.value);
        EXPECT_EQ(!warnings().empty(), c.warned);
    }
}

TEST_F(ConfigTest, IntegerElementForms) {
    struct Case {
        const char* text;
        int value;
        std::vector<std::string> warnings;
    } cases[] = {
        {"0x400", 1024, {}},
        {"0X10", 16, {}},
        {"1,024", 1024, {}},
        {"-5", -5, {}},
        {"twelve", 4, {"Illegal value 'twelve' for config setting Client.Number.  Using default value '4'"}},
        {"", 4, {"Illegal value '' for config setting Client.Number.  Using default value '4'"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        useConfig(clientXml(std::string("<Number>") + c.text + "</Number>"));
        log.clear();
        ConfigIntValue number("Client.Number", 4, ConfigIntValue::NoLimit, ConfigIntValue::NoLimit, 1, OTHER);
        EXPECT_EQ(number.get(), c.value);
        EXPECT_EQ(warnings(), c.warnings);
        EXPECT_EQ(number.isValueRejected(), !c.warnings.empty());
    }
}

TEST_F(ConfigTest, IntegerOutOfRangeAtLoadKeepsDefault) {
    useConfig(clientXml("<LogFileNumber>33</LogFileNumber>"));
    ConfigIntValue setting("Client.LogFileNumber", 4, 1, 32, 6, OTHER);
    EXPECT_FALSE(setting.ensureRegistered(2));
    EXPECT_EQ(setting.get(), 4);
    EXPECT_EQ(warnings(), (std::vector<std::string>{
                              "LogFileNumber value '33' is set too high.",
                              "Illegal value '33' for config setting Client.LogFileNumber.  Using default value '4'"}));
}

TEST_F(ConfigTest, RegistrationLoadSaysConfigurationAndReadSaysDynamic) {
    useConfig(clientXml("<A>x</A><B>y</B>"));
    ConfigStringValue a("Client.A", "d", {}, 1, OTHER);
    ConfigStringValue b("Client.B", "d", {}, 1, OTHER);
    a.ensureRegistered();
    b.get();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Configuration value 'Client.A' => 'x'",
                                                     "Dynamic value 'Client.B' => 'y'"}));
}

TEST_F(ConfigTest, SameOriginKeyKeepsValueWithShortMessage) {
    useConfig("<config><Server><Security><SameOriginHeaders>bad</SameOriginHeaders></Security></Server></config>");
    ConfigStringValue setting("Server.Security.SameOriginHeaders", "", {"on", "off"}, 1, OTHER);
    EXPECT_EQ(setting.get(), "");
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "Illegal value 'bad' for config setting Server.Security.SameOriginHeaders."});
}

TEST_F(ConfigTest, PublishWritesCurrentTextUnderPlainKey) {
    ConfigStringValue setting("openSSL.server.cipherList", "ALL", {}, 6, LogComponentMask::SSL);
    EXPECT_FALSE(setting.isInConfigFile());
    setting.setFromString("HIGH");
    setting.publish();
    EXPECT_TRUE(setting.isInConfigFile());
    EXPECT_EQ(config->getString("openSSL.server.cipherList"), "HIGH");
}

TEST_F(ConfigTest, SelfReferencingValuesFallBackToDefaults) {
    useConfig(clientXml("<Text>${Client.Text}</Text><Flag>${Client.Flag}</Flag><Number>${Client.Number}</Number>"
                        "<Shell>a${Client.Shell}</Shell>"));
    ConfigStringValue text("Client.Text", "t", {}, 1, OTHER);
    ConfigBoolValue flag("Client.Flag", true, 1, OTHER);
    ConfigIntValue number("Client.Number", 4, ConfigIntValue::NoLimit, ConfigIntValue::NoLimit, 1, OTHER);
    qor::ConfigShellStringValue shell("Client.Shell", "s", 1, OTHER);
    EXPECT_EQ(text.get(), "t");
    EXPECT_TRUE(flag.get());
    EXPECT_EQ(number.get(), 4);
    EXPECT_EQ(shell.effectiveString(), "s");
    shell.get();
    EXPECT_EQ(shell.effectiveString(), "s");
    EXPECT_EQ(warnings(), (std::vector<std::string>{
                              "Illegal value '${Client.Text}' for config setting Client.Text.  Using default value 't'",
                              "Illegal value '${Client.Flag}' for config setting Client.Flag.  Using default value 'true'",
                              "Illegal value '${Client.Number}' for config setting Client.Number.  Using default value '4'",
                              "Illegal value 'a${Client.Shell}' for config setting Client.Shell.  Using default value 's'"}));
}

namespace {

// Client.Text referring down a chain of the given number of references.
std::string referenceChain(int depth) {
    std::string xml = "<Text>${Client.C1}</Text>";
    for (int i = 1; i < depth; ++i)
        xml += "<C" + std::to_string(i) + ">${Client.C" + std::to_string(i + 1) + "}</C" + std::to_string(i) + ">";
    return xml + "<C" + std::to_string(depth) + ">end</C" + std::to_string(depth) + ">";
}

} // namespace

// References to other properties resolve as they always did, but within
// limits: a value whose references nest too deep, are too many or expand too
// far is refused like any bad value, and refusing it costs little.
TEST_F(ConfigTest, ReferencesResolveWithinLimits) {
    std::string tenBig;
    for (int i = 0; i < 10; ++i) tenBig += "${Client.Big}";
    struct Case {
        const char* name;
        std::string inner;
        std::string value;
    } cases[] = {
        {"two references", "<A>x</A><Text>${Client.A}-${Client.A}</Text>", "x-x"},
        {"an unknown name stays", "<Text>${nope}$x</Text>", "${nope}$x"},
        {"nine deep", referenceChain(9), "end"},
        {"ten deep", referenceChain(10), "t"},
        {"a hundred references", referenceFan(2) + "<Text>${Client.L2}</Text>", std::string(800, 'x')},
        {"a hundred thousand references", referenceFan(5) + "<Text>${Client.L5}</Text>", "t"},
        {"twenty thousand characters", "<Big>" + std::string(2000, 'b') + "</Big><Text>" + tenBig + "</Text>", "t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useConfig(clientXml(c.inner));
        log.clear();
        ConfigStringValue text("Client.Text", "t", {}, 1, OTHER);
        EXPECT_EQ(text.get(), c.value);
        EXPECT_EQ(text.isValueRejected(), c.value == "t");
        EXPECT_EQ(warnings().size(), c.value == "t" ? 1u : 0u);
    }
}
