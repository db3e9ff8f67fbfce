#include "ClientSettings.h"

#include "Logging.h"

#include <mutex>

using namespace LogComponentMask;
using qor::ConfigBoolValue;
using qor::ConfigFilePathValue;
using qor::ConfigIntValue;
using qor::ConfigPasswordValue;
using qor::ConfigShellStringValue;
using qor::ConfigStringValue;

namespace {
constexpr int NoLimit = qor::ConfigEntry::NoLimit;
}

ConfigStringValue clientBrokerLeostreamSubmitName("Client.Broker.Leostream.SubmitName", "submit", {}, 1, BROKER);
ConfigStringValue clientBrokerLeostreamPasswordNameField("Client.Broker.Leostream.PasswordNameField", "password", {}, 1,
                                                         BROKER);
ConfigStringValue clientBrokerLeostreamUserNameField("Client.Broker.Leostream.UserNameField", "user", {}, 1, BROKER);
ConfigBoolValue clientBrokerLeostreamUseGetByName("Client.Broker.Leostream.UseGetByName", true, 1, BROKER);
ConfigStringValue clientBrokerUsername("Client.Broker.Username", "", {}, 1, BROKER);
ConfigPasswordValue clientBrokerPassword("Client.Broker.Password", "", 1, BROKER);
ConfigStringValue clientUsername("Client.Username", "", {}, 1, AUTH);
ConfigPasswordValue clientPassword("Client.Password", "", 1, AUTH);
ConfigStringValue clientConnectUrl("Client.ConnectUrl", "", {}, 1, OTHER);
ConfigBoolValue clientIgnoreCertificateError("Client.IgnoreCertificateError", false, 1, AUTH);
ConfigBoolValue clientKioskModeEnabled("Client.KioskMode.Enabled", false, 1, KISOK);
ConfigBoolValue clientHighDPIScaling("Client.HighDPIScaling", true, 1, OTHER);

ConfigStringValue clientLogLevel("Client.LogLevel", "information",
                                 {"trace", "debug", "information", "notice", "warning", "error", "critical", "fatal",
                                  "none"},
                                 2, OTHER);
ConfigStringValue clientLogFormat("Client.LogFormat", "%Y-%m-%d %H:%M:%S.%i:%q%q:(%I):%t", {}, 6, OTHER);
ConfigShellStringValue clientLogFile("Client.LogFile", "quarrydesk-client.log", 2, OTHER);
ConfigIntValue clientLogFileSize("Client.LogFileSize", 32368, 16384, 33554432, 2, OTHER);
ConfigIntValue clientLogFileNumber("Client.LogFileNumber", 4, 1, 32, 6, OTHER);
ConfigStringValue clientDebugComponentsDebug("Client.Debug.ComponentsDebug", "", {}, 6, OTHER);
ConfigStringValue clientDebugComponentsTrace("Client.Debug.ComponentsTrace", "", {}, 6, OTHER);
ConfigIntValue clientDebugReportInterval("Client.Debug.ReportInterval", 6, NoLimit, NoLimit, 1, OTHER);

ConfigBoolValue clientVirtualHereEnabled("Client.VirtualHere.Enabled", true, 2, VH);
ConfigBoolValue clientVirtualHereDebugEnabled("Client.VirtualHere.Debug.Enabled", false, 2, VH);
ConfigBoolValue clientVirtualHereAllowGuestConnections("Client.VirtualHere.AllowGuestConnections", false, 2, VH);
ConfigBoolValue clientVirtualHereCreateClientLog("Client.VirtualHere.CreateClientLog", true, 2, VH);
ConfigBoolValue clientVirtualHereCreateServerLog("Client.VirtualHere.CreateServerLog", true, 2, VH);
ConfigBoolValue clientVirtualHereInstallService("Client.VirtualHere.InstallService", true, 1, VH);
ConfigIntValue clientVirtualHereClientPort("Client.VirtualHere.ClientPort", 17574, 1, 65536, 1, VH);
ConfigIntValue clientVirtualHereServerPort("Client.VirtualHere.ServerPort", 17570, 1, 65536, 2, VH);
ConfigStringValue clientVirtualHereServerName("Client.VirtualHere.ServerName", "", {}, 2, VH);
ConfigBoolValue clientVirtualHereIgnoreVersionMismatch("Client.VirtualHere.IgnoreVersionMismatch", false, 2, VH);

ConfigBoolValue clientNativeDecoding("Client.nativeDecoding", true, 1, DECODER);
ConfigBoolValue clientHwColorConversion("Client.hwColorConversion", true, 1, DECODER);
ConfigBoolValue clientParallelDecoding("Client.ParallelDecoding", true, 1, DECODER);
ConfigBoolValue clientDoubleBuffering("Client.DoubleBuffering", true, 1, DECODER);
ConfigStringValue clientOpenGLRenderMode("Client.openGLRenderMode", "normal", {"normal", "quads", "off"}, 1, DECODER);
ConfigStringValue clientEncoding("Client.Encoding", "0,0,8", {}, 1, DECODER);
ConfigStringValue clientH264Profile("Client.h264Profile", "BASE", {}, 1, DECODER);
ConfigStringValue clientLibAvDirectory("Client.LibAvDirectory", "", {}, 1, DECODER);
ConfigFilePathValue clientOpenGLVShaderNV12("Client.OpenGL.VShaderNV12", "", 1, DECODER);
ConfigFilePathValue clientOpenGLFShaderNV12("Client.OpenGL.FShaderNV12", "", 1, DECODER);
ConfigFilePathValue clientOpenGLVShaderYUV420p("Client.OpenGL.VShaderYUV420p", "", 1, DECODER);
ConfigFilePathValue clientOpenGLFShaderYUV420p("Client.OpenGL.FShaderYUV420p", "", 1, DECODER);
ConfigFilePathValue clientOpenGLVShaderYUV444p("Client.OpenGL.VShaderYUV444p", "", 1, DECODER);
ConfigFilePathValue clientOpenGLFShaderYUV444p("Client.OpenGL.FShaderYUV444p", "", 1, DECODER);
ConfigFilePathValue clientOpenGLVShaderRGB("Client.OpenGL.VShaderRGB", "", 1, DECODER);
ConfigFilePathValue clientOpenGLFShaderRGB("Client.OpenGL.FShaderRGB", "", 1, DECODER);
ConfigFilePathValue clientOpenGLVShaderRGBp("Client.OpenGL.VShaderRGBp", "", 1, DECODER);
ConfigFilePathValue clientOpenGLFShaderRGBp("Client.OpenGL.FShaderRGBp", "", 1, DECODER);

ConfigStringValue clientSessionCookieName("Client.SessionCookieName", "SID", {}, 1, NET);
ConfigStringValue clientHTTPSessionCookieName("Client.HTTPSessionCookieName", "httpSID", {}, 1, NET);

// The two passphrase-handler settings are password settings copied into the
// table; the copies keep their values out of the log.
ConfigStringValue sslConfigTable[sslConfigCount] = {
    {"openSSL.client.verificationMode", "relaxed", {}, 6, SSL},
    {"openSSL.server.verificationMode", "none", {}, 6, SSL},
    {"openSSL.server.verificationDepth", "9", {}, 6, SSL},
    {"openSSL.server.loadDefaultCAFile", "true", {}, 6, SSL},
    {"openSSL.server.cipherList", "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH:!RC4:!aNULL:!SSLv3:!EDH:+AES256:+RSA", {}, 6, SSL},
    {"openSSL.server.preferServerCiphers", "true", {}, 6, SSL},
    ConfigPasswordValue("openSSL.server.privateKeyPassphraseHandler.options.password", "quillfernbay", 1, SSL),
    ConfigPasswordValue("openSSL.server.privateKeyPassphraseHandler.name", "KeyFileHandler", 1, SSL),
    {"openSSL.server.cacheSessions", "false", {}, 6, SSL},
    {"openSSL.server.extendedVerification", "false", {}, 6, SSL},
    {"openSSL.server.requireTLSv1_0", "false", {}, 6, SSL},
    {"openSSL.server.requireTLSv1_1", "false", {}, 6, SSL},
    {"openSSL.server.requireTLSv1_2", "true", {}, 6, SSL},
    {"openSSL.fips", "false", {}, 6, SSL},
};
const int sslConfigWriteClasses[sslConfigCount] = {2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 1, 2};
ConfigBoolValue openSslClientLoadDefaultCAFile("openSSL.client.loadDefaultCAFile", true, 6, SSL);

const std::vector<qor::ConfigEntry*>& clientSettingsTable() {
    static const std::vector<qor::ConfigEntry*> table = [] {
        std::vector<qor::ConfigEntry*> entries = {
            &clientBrokerLeostreamSubmitName, &clientBrokerLeostreamPasswordNameField,
            &clientBrokerLeostreamUserNameField, &clientBrokerLeostreamUseGetByName, &clientBrokerUsername,
            &clientBrokerPassword, &clientUsername, &clientPassword, &clientConnectUrl,
            &clientIgnoreCertificateError, &clientKioskModeEnabled, &clientHighDPIScaling, &clientLogLevel,
            &clientLogFormat, &clientLogFile, &clientLogFileSize, &clientLogFileNumber, &clientDebugComponentsDebug,
            &clientDebugComponentsTrace, &clientDebugReportInterval, &clientVirtualHereEnabled,
            &clientVirtualHereDebugEnabled, &clientVirtualHereAllowGuestConnections,
            &clientVirtualHereCreateClientLog, &clientVirtualHereCreateServerLog, &clientVirtualHereInstallService,
            &clientVirtualHereClientPort, &clientVirtualHereServerPort, &clientVirtualHereServerName,
            &clientVirtualHereIgnoreVersionMismatch, &clientNativeDecoding, &clientHwColorConversion,
            &clientParallelDecoding, &clientDoubleBuffering, &clientOpenGLRenderMode, &clientEncoding,
            &clientH264Profile, &clientLibAvDirectory, &clientOpenGLVShaderNV12, &clientOpenGLFShaderNV12,
            &clientOpenGLVShaderYUV420p, &clientOpenGLFShaderYUV420p, &clientOpenGLVShaderYUV444p,
            &clientOpenGLFShaderYUV444p, &clientOpenGLVShaderRGB, &clientOpenGLFShaderRGB,
            &clientOpenGLVShaderRGBp, &clientOpenGLFShaderRGBp, &clientSessionCookieName,
            &clientHTTPSessionCookieName};
        for (ConfigStringValue& setting : sslConfigTable) entries.push_back(&setting);
        entries.push_back(&openSslClientLoadDefaultCAFile);
        return entries;
    }();
    return table;
}

qor::ConfigIntValue* newReceiveTimeoutSetting(bool video, bool initial) {
    const std::string key = std::string(video ? "Client.Video." : "Client.Control.") +
                            (initial ? "InitialTimeout" : "Timeout");
    const int defaultMs = video ? (initial ? 6000 : 2000) : (initial ? 4000 : 3000);
    return new ConfigIntValue(key, defaultMs, NoLimit, NoLimit, 1, SMGNT);
}

bool onComponentListChanged(void*, const std::string&, bool*, bool*) { return true; }

void initCookieNameSettings() {
    clientSessionCookieName.ensureRegistered(2);
    clientLibAvDirectory.ensureRegistered(2);
    if (clientSessionCookieName.differs("SID"))
        componentDebug(CONF, "Cookie name changed: " + clientSessionCookieName.effectiveString());
    clientHTTPSessionCookieName.ensureRegistered(2);
    if (clientHTTPSessionCookieName.differs("httpSID"))
        componentDebug(CONF, "Cookie name changed: " + clientHTTPSessionCookieName.effectiveString());
    clientDebugComponentsDebug.setAllowedValues(componentNameList());
    clientDebugComponentsTrace.setAllowedValues(componentNameList());
    clientDebugComponentsTrace.ensureRegistered(2, onComponentListChanged);
    clientDebugComponentsDebug.ensureRegistered(2, onComponentListChanged);
}

std::string sessionCookieName(bool secure) {
    static std::once_flag once;
    std::call_once(once, initCookieNameSettings);
    return secure ? clientSessionCookieName.effectiveString() : clientHTTPSessionCookieName.effectiveString();
}
