// The client's USB support around the USB module: its start at client
// start-up, which says why USB forwarding ended up disabled.
#pragma once

// Initialises the USB module facade in server mode; when USB forwarding
// ends up disabled, logs why at critical. Start-up, main thread, once.
void initVHIntegration();
