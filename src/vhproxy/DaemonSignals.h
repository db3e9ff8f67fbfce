// The daemon's life under a service manager: the termination signals are
// taken by one waiting call, and the manager is told when the service is
// ready (listening) and when it is stopping.
#pragma once

// Blocks the termination signals in every thread; called first in main.
void blockTerminationSignals();
// Returns when SIGTERM or SIGINT arrives.
void waitForTerminationRequest();

void notifyServiceReady();
void notifyServiceStopping();
