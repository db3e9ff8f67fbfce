#include "FileHelpers.h"

#include "Logging.h"

std::string osCommandName(int key) {
    static const char* const names[] = {
        "pidof", "tail",  "sed",      "last",       "tr",         "awk",     "grep",     "egrep",    "cat",      "lspci",
        "ls",    "who",   "cut",      "pulseaudio", "pbcopy",     "plutil",  "caffeinate", "sw_vers", "finger", "loginctl",
        "ps",    "pactl", "xdg-open", "modprobe",   "xset",       "open",    "cmd",      "defaults",
    };
    if (key < 0 || key >= static_cast<int>(sizeof names / sizeof names[0])) {
        logCritical("Undefined request for os command, key value = " + std::to_string(key));
        return "";
    }
    return names[key];
}
