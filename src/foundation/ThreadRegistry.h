// The process-wide list of every live QorThread, newest first, linked
// through the threads themselves and guarded by its own mutex.
#pragma once

#include <vector>

namespace qor {

class QorThread;

class ThreadRegistry {
public:
    // Pushes a new thread at the head.
    static void add(QorThread* thread);
    // Unlinks a thread; a thread that is not listed is ignored.
    static void remove(QorThread* thread);
    // The listed threads, newest first (diagnostics).
    static std::vector<const QorThread*> snapshot();
};

} // namespace qor
