// Start-up's USB steps: the USB start-up loads and checks the USB module
// and starts USB support, and the diagnosis lists the local USB devices.
// (The helper-service command is handleVHProxyCommand of the USB library.)
#pragma once

// The USB start-up (after the log set-up, in the program directory). With
// startSupport false (the process only carries out a command-line duty and
// ends) nothing is done: loading the module would start the USB server and
// rewrite its configuration, and a run that only asks changes nothing.
void runUsbStartup(bool startSupport);
// The USB diagnosis of the option debugUSB: lists the local USB devices on
// standard output, or says that there are none; ends the process with code 0.
[[noreturn]] void runUsbDiagnosis();
