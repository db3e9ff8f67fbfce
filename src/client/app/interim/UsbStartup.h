// Start-up's USB steps until the USB module comes: the start-up reports USB
// forwarding as not enabled and the diagnosis finds no device. (The
// helper-service command is handleVHProxyCommand of the USB library.) The
// USB forwarding code replaces these bodies and keeps the calls.
#pragma once

#include <string>

// Whether USB forwarding is on; false while the client has no USB support.
extern bool usbForwardingEnabled;

// The USB start-up (after the log set-up, in the program directory).
void runUsbStartup(const std::string& programDirectory);
// The USB diagnosis of the option debugUSB; ends the process with code 0.
[[noreturn]] void runUsbDiagnosis();
