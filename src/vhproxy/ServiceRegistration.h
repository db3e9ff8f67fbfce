// Registration of the daemon as the system service "vhproxy" and its
// removal, as the client's installer runs them:
//   vhproxy --registerService --startup=manual --displayName=<name> --description=<text> --usbServerPort=<port>
//   vhproxy --unregisterService
// Each returns the program's exit code (0 done, 1 failed, 2 bad options).
#pragma once

#include <string>

struct RegistrationOptions {
    std::string startup = "manual"; // "manual" or "auto" (started at boot)
    std::string displayName = "VHProxy service";
    std::string description;
    std::string allowGroup; // empty: the daemon's default
    int usbServerPort = 0;  // the USB server's port that the service asks; 0: the daemon's default
};

int registerService(const RegistrationOptions& options);
int unregisterService();
