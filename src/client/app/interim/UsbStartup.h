// Start-up's USB steps. USB forwarding is not part of the client yet: the
// start-up reports it as not enabled and the helper service counts as not
// installed; the diagnosis lists the local USB devices. The USB forwarding
// code replaces these bodies and keeps the calls.
#pragma once

#include <string>

// Whether USB forwarding is on; false while the client has no USB support.
extern bool usbForwardingEnabled;

// The USB start-up (after the log set-up, in the program directory).
void runUsbStartup(const std::string& programDirectory);
// The USB diagnosis of the option debugUSB; ends the process with code 0.
[[noreturn]] void runUsbDiagnosis();
// The helper-service command of the option vhProxy; ends the process.
[[noreturn]] void runUsbServiceCommand(const std::string& command);
