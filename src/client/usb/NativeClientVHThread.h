// The USB poll thread: every 1,200 ms it makes sure that the daemon
// vhproxy runs and, while a server connection is registered, asks it for
// the device list (loaded, reported to the server and sent to the page);
// every fifth tick it repeats to the server the bind and release requests
// still pending. A tick never ends the thread: whatever a tick raises is
// logged and the next tick comes. Its exchanges with the daemon are bounded
// below one tick, so that a stop request ends it within a tick even while
// the daemon is silent. Log lines carry the name "NativeClientVHSupport".
#pragma once

#include "NativeClientVHSupport.h"
#include "QorTimerThread.h"

#include <cstdint>

namespace qor {

class NativeClientVHThread : public QorTimerThread {
public:
    static constexpr std::int32_t POLL_PERIOD_MS = 1200;
    // The bound of each of the thread's exchanges with the daemon.
    static constexpr int LINK_TIMEOUT_MS = usbExchangeTimeoutMs;

    NativeClientVHThread();

    // One pass of the poll loop; tickNumber counts the thread's ticks from 1.
    static void pollOnce(std::uint64_t tickNumber);

protected:
    void eventLoop() override;
};

} // namespace qor

// The one poll thread; null while none runs. Main thread only.
extern qor::NativeClientVHThread* usbSupportThread;

// Starts USB support once, while USB forwarding is enabled: launches the
// daemon and starts the poll thread. Main thread.
void startUsbSupport();
// Ends the poll thread, if one runs. Main thread; also at process exit.
void stopUsbSupport();
