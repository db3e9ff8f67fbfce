// Settings of one demo server run, filled from the command line.
#pragma once

#include <string>
#include <vector>

struct DemoOptions {
    std::string bindAddress = "127.0.0.1";
    int port = 8080;                     // 0: the system chooses
    std::string certificateFile;         // https when set (with keyFile)
    std::string keyFile;
    std::string pathPrefix;              // "" or "/a/b" (no trailing slash)
    std::vector<std::string> streamFiles;  // per screen; the last one repeats
    int screens = 1;
    int framesPerSecond = 25;
    int statIntervalMs = 2000;           // statistics requests per started screen
    std::string user = "demo";
    std::string password = "demo";
    bool verbose = false;
    int tunnelPort = -1;                 // type 0 tunnels listen here (0: any free port; -1: none)
    int tunnelTarget = 0;                // type 1 tunnels connect here (0: none)
    std::string protocolVersion = "4.3"; // NetProtVer of SVR_CLNT_ID
    bool usbAllowListSet = false;        // SrvAllowedUSBDevs is sent (usbAllowList, may be empty)
    std::string usbAllowList;
    bool usbShowAll = false;             // SrvShowAllUSBDevs
    bool usbPassive = false;             // the remote USB client leaves bind and release requests pending

    bool secure() const { return !certificateFile.empty(); }
    std::string scheme() const { return secure() ? "https" : "http"; }
    std::string sessionCookieName() const { return secure() ? "SID" : "httpSID"; }
    const std::string& streamFileForScreen(int screen) const {
        return streamFiles[static_cast<std::size_t>(screen) < streamFiles.size() ? screen : streamFiles.size() - 1];
    }
};
