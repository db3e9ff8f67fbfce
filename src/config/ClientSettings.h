// The client's settings: one global object per key, built before main with
// its default, range or allowed values, level and log component. Each is
// registered by the code that owns it (ensureRegistered) with the write
// class noted here; unregistered settings still load on first read.
#pragma once

#include "ConfigBoolValue.h"
#include "ConfigFilePathValue.h"
#include "ConfigIntValue.h"
#include "ConfigPasswordValue.h"
#include "ConfigShellStringValue.h"
#include "ConfigStringValue.h"

#include <string>
#include <vector>

// Broker and credentials (write class 2).
extern qor::ConfigStringValue clientBrokerLeostreamSubmitName;
extern qor::ConfigStringValue clientBrokerLeostreamPasswordNameField;
extern qor::ConfigStringValue clientBrokerLeostreamUserNameField;
extern qor::ConfigBoolValue clientBrokerLeostreamUseGetByName;
extern qor::ConfigStringValue clientBrokerUsername;
extern qor::ConfigPasswordValue clientBrokerPassword;
extern qor::ConfigStringValue clientUsername;
extern qor::ConfigPasswordValue clientPassword;
extern qor::ConfigStringValue clientConnectUrl;
extern qor::ConfigBoolValue clientIgnoreCertificateError;
extern qor::ConfigBoolValue clientKioskModeEnabled;
extern qor::ConfigBoolValue clientHighDPIScaling;

// Logging and diagnostics (Client.LogLevel write class 1, the others 2).
extern qor::ConfigStringValue clientLogLevel;
extern qor::ConfigStringValue clientLogFormat;
extern qor::ConfigShellStringValue clientLogFile;
extern qor::ConfigIntValue clientLogFileSize;
extern qor::ConfigIntValue clientLogFileNumber;
extern qor::ConfigStringValue clientDebugComponentsDebug;
extern qor::ConfigStringValue clientDebugComponentsTrace;
extern qor::ConfigIntValue clientDebugReportInterval;

// USB forwarding (write class 2; Client.VirtualHere.CreateClientLog is
// never registered).
extern qor::ConfigBoolValue clientVirtualHereEnabled;
extern qor::ConfigBoolValue clientVirtualHereDebugEnabled;
extern qor::ConfigBoolValue clientVirtualHereAllowGuestConnections;
extern qor::ConfigBoolValue clientVirtualHereCreateClientLog;
extern qor::ConfigBoolValue clientVirtualHereCreateServerLog;
extern qor::ConfigBoolValue clientVirtualHereInstallService;
extern qor::ConfigIntValue clientVirtualHereClientPort;
extern qor::ConfigIntValue clientVirtualHereServerPort;
extern qor::ConfigStringValue clientVirtualHereServerName;
extern qor::ConfigBoolValue clientVirtualHereIgnoreVersionMismatch;

// Video decoding and drawing (write class 2; the shader files of YUV444p,
// RGB and RGBp are never registered).
extern qor::ConfigBoolValue clientNativeDecoding;
extern qor::ConfigBoolValue clientHwColorConversion;
extern qor::ConfigBoolValue clientParallelDecoding;
extern qor::ConfigBoolValue clientDoubleBuffering;
extern qor::ConfigStringValue clientOpenGLRenderMode;
extern qor::ConfigStringValue clientEncoding;
extern qor::ConfigStringValue clientH264Profile;
extern qor::ConfigStringValue clientLibAvDirectory;
extern qor::ConfigFilePathValue clientOpenGLVShaderNV12;
extern qor::ConfigFilePathValue clientOpenGLFShaderNV12;
extern qor::ConfigFilePathValue clientOpenGLVShaderYUV420p;
extern qor::ConfigFilePathValue clientOpenGLFShaderYUV420p;
extern qor::ConfigFilePathValue clientOpenGLVShaderYUV444p;
extern qor::ConfigFilePathValue clientOpenGLFShaderYUV444p;
extern qor::ConfigFilePathValue clientOpenGLVShaderRGB;
extern qor::ConfigFilePathValue clientOpenGLFShaderRGB;
extern qor::ConfigFilePathValue clientOpenGLVShaderRGBp;
extern qor::ConfigFilePathValue clientOpenGLFShaderRGBp;

// Server connection (write class 2, registered with the first cookie name).
extern qor::ConfigStringValue clientSessionCookieName;
extern qor::ConfigStringValue clientHTTPSessionCookieName;

// TLS: fourteen text settings in table order with their write classes, and
// the boolean openSSL.client.loadDefaultCAFile (write class 2).
constexpr int sslConfigCount = 14;
extern qor::ConfigStringValue sslConfigTable[sslConfigCount];
extern const int sslConfigWriteClasses[sslConfigCount];
extern qor::ConfigBoolValue openSslClientLoadDefaultCAFile;

// Every global setting above, in table order.
const std::vector<qor::ConfigEntry*>& clientSettingsTable();

// A receive time-out setting of a receive thread, built on the heap and
// never registered: Client.Control.InitialTimeout (4000 ms),
// Client.Control.Timeout (3000), Client.Video.InitialTimeout (6000) or
// Client.Video.Timeout (2000). The caller owns it.
qor::ConfigIntValue* newReceiveTimeoutSetting(bool video, bool initial);

// Registers the cookie-name settings, Client.LibAvDirectory and the two
// component lists (which receive the component names as allowed values).
void initCookieNameSettings();
// The session cookie name over TLS (secure) or plain HTTP; the first call
// runs initCookieNameSettings.
std::string sessionCookieName(bool secure);
// Change callback of the component lists; the lists take effect at start-up.
bool onComponentListChanged(void* context, const std::string& text, bool* changed, bool* restart);
