#include "VHArgumentCheck.h"

#include "Logging.h"

#include <cstdint>

std::string vhArgumentName(int kind) {
    static const char* const names[] = {"command",  "dev-address", "product-id", "vendor-id",         "dev-path",
                                        "usb-pretty-name", "conn-id", "client-ip", "disconnect-reason", "server-name"};
    if (kind < VHArgCommand || kind > VHArgServerName) return "unspecified";
    return names[kind - 1];
}

bool validateVHArgument(const std::string& argument, int kind) {
    // The length as a signed 32-bit count, as the senders count it.
    const std::int64_t length = static_cast<std::int64_t>(argument.size());
    if (length > maxVHArgumentLength) {
        logError("Rejecting potentially corrupted input, length " + std::to_string(length) +
                 ", argument: " + vhArgumentName(kind));
        return false;
    }
    if (kind == VHArgCommand) {
        if (length > maxVHCommandLength) {
            logError("Rejecting potentially corrupted input, command length suspicious: " + std::to_string(length) +
                     " bytes.");
            return false;
        }
        for (std::size_t i = 0; i < argument.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(argument[i]);
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
                logError("Rejecting potentially corrupted input, command at postion " + std::to_string(i) +
                         " not an alphabetic letter.");
                return false;
            }
        }
        return true;
    }
    for (std::size_t i = 0; i < argument.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(argument[i]);
        if (c < 0x20 || c > 0x7E) {
            logError("Rejecting potentially corrupted input, invalid character at postion " + std::to_string(i) +
                     ", argument: " + vhArgumentName(kind));
            return false;
        }
    }
    return true;
}
