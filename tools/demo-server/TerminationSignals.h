// Makes the termination signals (SIGINT, SIGTERM, SIGQUIT) wait for the main
// thread's orderly shutdown instead of ending the process in whichever
// thread they hit. Call first in main, before any thread starts.
#pragma once

void blockTerminationSignals();
