// The daemon asks this machine's USB server at the port it was installed
// with; the client's USB module starts the server, and the USB tunnel
// forwards to it, at Client.VirtualHere.ServerPort. Where the two differ no
// device can be shared: the status check notices it (the daemon's status
// reply names its port), warns once per port that the daemon asks, and the
// page's reports of a USB server that does not answer say why and what to
// do.
#pragma once

#include "QorMessage.h"

#include <string>

// Compares the port of the daemon's status reply (328) with the client's;
// a reply without one (an older daemon, a device file in tests) changes
// nothing.
void checkVHServerPort(const QorMessage& status);
// The warning while the ports differ; empty while they agree.
std::string vhServerPortMismatch();
// A daemon's reply that the USB server does not answer gets the warning as
// its text while the ports differ.
void explainVHServerDown(QorMessage& reply);
