// Start-up's USB steps until the USB support thread comes: the start-up
// loads and checks the USB module and the diagnosis lists the local USB
// devices. (The helper-service command is handleVHProxyCommand of the USB
// library.) The USB forwarding code replaces these bodies and keeps the calls.
#pragma once

#include <string>

// Whether USB forwarding is on; a copy of vhIntegrationEnabled after start-up.
extern bool usbForwardingEnabled;

// The USB start-up (after the log set-up, in the program directory).
void runUsbStartup(const std::string& programDirectory);
// The USB diagnosis of the option debugUSB; ends the process with code 0.
[[noreturn]] void runUsbDiagnosis();
