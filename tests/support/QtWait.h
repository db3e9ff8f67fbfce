// Waiting on the GUI thread of a test: GUI events keep being processed while
// the test waits for a condition or lets time pass.
#pragma once

#include <functional>

// Processes events until the condition holds (true) or the time is up (false).
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000);
// Processes events for the given time.
void processEventsFor(int milliseconds);
