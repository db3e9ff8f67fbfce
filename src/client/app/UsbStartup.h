// Start-up's USB steps: the USB start-up loads and checks the USB module
// and starts USB support, and the diagnosis lists the local USB devices.
// (The helper-service command is handleVHProxyCommand of the USB library.)
#pragma once

// The USB start-up (after the log set-up, in the program directory). With
// startSupport false (the process only carries out a command-line duty and
// ends), the module is loaded and checked but neither the poll thread nor
// the daemon is started.
void runUsbStartup(bool startSupport);
// The USB diagnosis of the option debugUSB; ends the process with code 0.
[[noreturn]] void runUsbDiagnosis();
