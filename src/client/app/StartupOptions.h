// The values of the command line as the option handler stores them: read
// by the start-up routine after the configuration files are loaded, and by
// main. Each has a flag that tells whether it was given where the start-up
// needs to know.
#pragma once

#include <cstdint>
#include <string>

struct StartupOptions {
    std::string logLevel = "information";
    bool logLevelGiven = false;
    std::string logFileName;

    std::string startAddress;
    bool startAddressGiven = false;
    std::string userName;
    bool userNameGiven = false;
    std::string password;
    bool passwordGiven = false;
    bool kiosk = false;
    bool kioskGiven = false;

    std::string h264Profile = "BASE";
    bool h264ProfileGiven = false;
    std::string openGLRenderMode = "normal";
    bool openGLRenderModeGiven = false;
    bool ignoreCertificateErrors = false;
    bool ignoreCertificateErrorsGiven = false;
    std::string encodingSpec = "0,0,8";
    bool encodingSpecGiven = false;
    bool hwColorConversion = true;
    bool hwColorConversionGiven = false;
    bool nativeDecoding = true;
    bool nativeDecodingGiven = false;
    bool parallelDecoding = true;
    bool parallelDecodingGiven = false;
    bool doubleBuffering = true;
    bool doubleBufferingGiven = false;

    std::string debugComponents;
    bool debugComponentsGiven = false;
    std::string traceComponents;
    bool traceComponentsGiven = false;

    std::string configOutputPath;
    bool writeConfigGiven = false;
    bool writeFullConfigGiven = false;

    std::int32_t usbDiagnosis = 0;
    // Empty: not given.
    std::string usbServiceCommand;
    std::string usbServerPort;
    bool usbServerPortGiven = false;

    bool runOpenGLTest = false;
    std::string openGLTestFormat = "0";
};

// Written by the option handler and the address parser on the main thread
// during start-up, read afterwards.
extern StartupOptions startupOptions;
