#include "ServiceProgramCheck.h"

#include <cstdio>

bool holdsControlCharacter(const std::string& text) {
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string printablePath(const std::string& path) {
    std::string shown;
    for (const unsigned char c : path) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}
