// The client's settings table: defaults, limits, allowed values and
// components of the keys, and the settings registered with the cookie names.
#include "ConfigFixture.h"

#include "ClientSettings.h"
#include "Logging.h"
#include "SettingsRegistry.h"

#include <memory>
#include <set>

using namespace LogComponentMask;

TEST(KeyTable, RepresentativeDefaults) {
    struct Case {
        qor::ConfigEntry* entry;
        const char* key;
        int type;
        const char* defaultText;
        int min;
        int max;
        std::size_t allowed;
        int level;
        std::uint64_t component;
    } cases[] = {
        {&clientLogLevel, "Client.LogLevel", 0, "information", -42, -42, 9, 2, OTHER},
        {&clientLogFormat, "Client.LogFormat", 0, "%Y-%m-%d %H:%M:%S.%i:%q%q:(%I):%t", -42, -42, 0, 6, OTHER},
        {&clientLogFile, "Client.LogFile", 0, "quarrydesk-client.log", -42, -42, 0, 2, OTHER},
        {&clientLogFileSize, "Client.LogFileSize", 1, "32368", 16384, 33554432, 0, 2, OTHER},
        {&clientLogFileNumber, "Client.LogFileNumber", 1, "4", 1, 32, 0, 6, OTHER},
        {&clientDebugReportInterval, "Client.Debug.ReportInterval", 1, "6", -42, -42, 0, 1, OTHER},
        {&clientBrokerLeostreamSubmitName, "Client.Broker.Leostream.SubmitName", 0, "submit", -42, -42, 0, 1, BROKER},
        {&clientBrokerLeostreamUseGetByName, "Client.Broker.Leostream.UseGetByName", 3, "true", -42, -42, 0, 1, BROKER},
        {&clientPassword, "Client.Password", 0, "", -42, -42, 0, 1, AUTH},
        {&clientBrokerPassword, "Client.Broker.Password", 0, "", -42, -42, 0, 1, BROKER},
        {&clientIgnoreCertificateError, "Client.IgnoreCertificateError", 3, "false", -42, -42, 0, 1, AUTH},
        {&clientKioskModeEnabled, "Client.KioskMode.Enabled", 3, "false", -42, -42, 0, 1, KISOK},
        {&clientVirtualHereClientPort, "Client.VirtualHere.ClientPort", 1, "17574", 1, 65536, 0, 1, VH},
        {&clientVirtualHereServerPort, "Client.VirtualHere.ServerPort", 1, "17570", 1, 65536, 0, 2, VH},
        {&clientVirtualHereInstallService, "Client.VirtualHere.InstallService", 3, "true", -42, -42, 0, 1, VH},
        {&clientNativeDecoding, "Client.nativeDecoding", 3, "true", -42, -42, 0, 1, DECODER},
        {&clientOpenGLRenderMode, "Client.openGLRenderMode", 0, "normal", -42, -42, 3, 1, DECODER},
        {&clientEncoding, "Client.Encoding", 0, "0,0,8", -42, -42, 0, 1, DECODER},
        {&clientH264Profile, "Client.h264Profile", 0, "BASE", -42, -42, 0, 1, DECODER},
        {&clientOpenGLFShaderRGBp, "Client.OpenGL.FShaderRGBp", 0, "", -42, -42, 0, 1, DECODER},
        {&clientSessionCookieName, "Client.SessionCookieName", 0, "SID", -42, -42, 0, 1, NET},
        {&clientHTTPSessionCookieName, "Client.HTTPSessionCookieName", 0, "httpSID", -42, -42, 0, 1, NET},
        {&sslConfigTable[0], "openSSL.client.verificationMode", 0, "relaxed", -42, -42, 0, 6, SSL},
        {&sslConfigTable[6], "openSSL.server.privateKeyPassphraseHandler.options.password", 0, "quillfernbay", -42,
         -42, 0, 1, SSL},
        {&sslConfigTable[13], "openSSL.fips", 0, "false", -42, -42, 0, 6, SSL},
        {&openSslClientLoadDefaultCAFile, "openSSL.client.loadDefaultCAFile", 3, "true", -42, -42, 0, 6, SSL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.entry->key(), c.key);
        EXPECT_EQ(c.entry->valueType(), c.type);
        EXPECT_EQ(c.entry->defaultString(), c.defaultText);
        EXPECT_EQ(c.entry->minValue(), c.min);
        EXPECT_EQ(c.entry->maxValue(), c.max);
        EXPECT_EQ(c.entry->allowedValues() ? c.entry->allowedValues()->size() : 0u, c.allowed);
        EXPECT_EQ(c.entry->level(), c.level);
        EXPECT_EQ(c.entry->componentMask(), c.component);
        EXPECT_FALSE(c.entry->isRegistered());
    }
}

TEST(KeyTable, KeysAreUniqueAndDotted) {
    const std::vector<qor::ConfigEntry*>& table = clientSettingsTable();
    EXPECT_EQ(table.size(), 65u);
    std::set<std::string> keys;
    for (qor::ConfigEntry* entry : table) {
        const std::string& key = entry->key();
        EXPECT_TRUE(keys.insert(key).second) << "duplicate " << key;
        EXPECT_TRUE(key.rfind("Client.", 0) == 0 || key.rfind("openSSL.", 0) == 0) << key;
        EXPECT_GE(entry->componentCount(), 2) << key;
        for (const std::string& part : entry->components()) EXPECT_FALSE(part.empty()) << key;
        EXPECT_NE(entry->componentMask(), 0u) << key;
    }
}

TEST(KeyTable, PasswordsAreHidden) {
    for (qor::ConfigEntry* entry : clientSettingsTable()) {
        const std::string& key = entry->key();
        const bool secret = (key.find("Password") != std::string::npos && key.find("NameField") == std::string::npos) ||
                            key.find("privateKeyPassphraseHandler") != std::string::npos;
        EXPECT_EQ(entry->showsValue(), !secret) << entry->key();
    }
}

TEST(KeyTable, TlsTableWriteClasses) {
    const int expected[sslConfigCount] = {2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 1, 2};
    for (int i = 0; i < sslConfigCount; ++i) {
        EXPECT_EQ(sslConfigWriteClasses[i], expected[i]) << i;
        EXPECT_FALSE(sslConfigTable[i].hasAllowedValues()) << i;
    }
    EXPECT_EQ(sslConfigTable[12].key(), "openSSL.server.requireTLSv1_2");
}

TEST_F(ConfigTest, KeyTableLimitsAndAllowedValues) {
    struct Case {
        qor::ConfigEntry* entry;
        const char* text;
        bool accepted;
    } cases[] = {
        {&clientLogFileSize, "16383", false},          {&clientLogFileSize, "16384", true},
        {&clientLogFileNumber, "33", false},           {&clientLogFileNumber, "32", true},
        {&clientLogFileNumber, "0", false},            {&clientVirtualHereClientPort, "0", false},
        {&clientVirtualHereClientPort, "65536", true}, {&clientVirtualHereServerPort, "65537", false},
        {&clientOpenGLRenderMode, "off", true},        {&clientOpenGLRenderMode, "Off", false},
        {&clientOpenGLRenderMode, "quads", true},      {&clientLogLevel, "Debug", false},
        {&clientLogLevel, "none", true},               {&clientLogLevel, "trace", true},
        {&clientDebugReportInterval, "-42", true},
    };
    for (const Case& c : cases) EXPECT_EQ(c.entry->setFromString(c.text), c.accepted) << c.entry->key() << " " << c.text;
}

TEST(KeyTable, ReceiveTimeouts) {
    struct Case {
        bool video;
        bool initial;
        const char* key;
        int value;
    } cases[] = {
        {false, true, "Client.Control.InitialTimeout", 4000},
        {false, false, "Client.Control.Timeout", 3000},
        {true, true, "Client.Video.InitialTimeout", 6000},
        {true, false, "Client.Video.Timeout", 2000},
    };
    for (const Case& c : cases) {
        std::unique_ptr<qor::ConfigIntValue> setting(newReceiveTimeoutSetting(c.video, c.initial));
        EXPECT_EQ(setting->key(), c.key);
        EXPECT_EQ(setting->defaultValue(), c.value);
        EXPECT_FALSE(setting->hasRange());
        EXPECT_EQ(setting->componentMask(), SMGNT);
    }
}

TEST_F(ConfigTest, FirstCookieNameRegistersItsGroupOnce) {
    useConfig("<config><Client><SessionCookieName>QSID</SessionCookieName></Client></config>");
    EXPECT_EQ(sessionCookieName(true), "QSID");
    EXPECT_EQ(sessionCookieName(false), "httpSID");
    std::vector<std::string> keys;
    for (qor::ConfigEntry* entry : registeredConfigEntries()) keys.push_back(entry->key());
    EXPECT_EQ(keys, (std::vector<std::string>{"Client.SessionCookieName", "Client.LibAvDirectory",
                                              "Client.HTTPSessionCookieName", "Client.Debug.ComponentsTrace",
                                              "Client.Debug.ComponentsDebug"}));
    EXPECT_EQ(log.count("Cookie name changed: QSID"), 1);
    EXPECT_EQ(clientDebugComponentsDebug.allowedValues()->size(), 18u);
    EXPECT_EQ(clientDebugComponentsTrace.changeCallback(), &onComponentListChanged);
    EXPECT_TRUE(clientDebugComponentsTrace.setFromString("NET"));
    EXPECT_FALSE(clientDebugComponentsTrace.setFromString("net"));
}
