// The check that every text taken from a USB message of the server, the page
// or the vhproxy daemon passes before it is used: a bounded length and, per
// kind of argument, only letters (commands) or only printable ASCII.
// Stateless: any thread may call it.
#pragma once

#include <string>

enum VHArgumentKind {
    VHArgCommand = 1,
    VHArgDevAddress = 2,
    VHArgProductId = 3,
    VHArgVendorId = 4,
    VHArgDevPath = 5,
    VHArgUsbPrettyName = 6,
    VHArgConnId = 7,
    VHArgClientIp = 8,
    VHArgDisconnectReason = 9,
    VHArgServerName = 10,
};

// The longest argument accepted, in bytes.
constexpr int maxVHArgumentLength = 3072;
// The longest command accepted, in bytes.
constexpr int maxVHCommandLength = 32;

// The name of the kind in rejection lines; "unspecified" for other values.
std::string vhArgumentName(int kind);

// False when the text fails the check of its kind; the reason is logged at
// error. The empty text passes for every kind.
bool validateVHArgument(const std::string& argument, int kind);
