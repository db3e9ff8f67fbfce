// The start-up routine: command line, configuration files, run paths,
// start-up settings and their command-line overrides, logging, USB steps,
// decoders, configuration writing, TLS and the classification of the start
// address. It ends the process itself for help and version output, option
// errors, a run that cannot open its windows, USB commands, configuration
// writing and an invalid render mode.
#pragma once

#include "Utilities.h"

#include <string>

class DummyPocoApp;

// programDirectory (Utilities.h) is set by startClient.

// False when the client cannot use native decoding: logging could not be
// set up, the working directory not changed, or no stream decoder is
// available while native decoding is on.
bool startClient(const std::string& banner, const std::string& programTag, const std::string& programDir, int argc,
                 char** argv);

// A run that opens windows (not one that only lists the USB devices,
// carries out a service command or writes the configuration) first asks
// this check, when one is set (the program sets it), whether it can: false
// ends the process with exit code -1 and the check's reason logged at
// critical, before the USB server and the start address are set up.
using WindowCheck = bool (*)(std::string& reason);
void setWindowCheck(WindowCheck check);

// The command-line object of this process, null before startClient.
DummyPocoApp* startupApplication();

// True when the machine is a Hyper-V guest (a Microsoft display adapter).
bool isHyperVGuest();
// The same test on the system tree below root ("/" for the running system).
bool isHyperVGuestAt(const std::string& root);

// Writes the configuration for the options writeConfig / writeFullConfig
// and ends the process: 0 when written; -1 with the reason on standard
// error when the file cannot be written.
[[noreturn]] void writeConfigurationAndExit(const std::string& path, bool full);
