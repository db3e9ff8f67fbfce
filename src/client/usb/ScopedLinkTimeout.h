// Bounds the calling thread's exchanges with the daemon vhproxy for a
// scope: while it lives, an exchange that names no bound of its own waits
// at most timeoutMs (or the thread's bound, when that is shorter); the
// thread's bound comes back when it goes.
#pragma once

class ScopedLinkTimeout {
public:
    explicit ScopedLinkTimeout(int timeoutMs);
    ~ScopedLinkTimeout();
    ScopedLinkTimeout(const ScopedLinkTimeout&) = delete;
    ScopedLinkTimeout& operator=(const ScopedLinkTimeout&) = delete;

private:
    int previous_;
};
