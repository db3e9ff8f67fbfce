// Thread priority on Linux: the calling thread's nice value is lowered, which
// needs CAP_SYS_NICE or a permissive RLIMIT_NICE; without them the caller
// falls back to POCO's scheduling priority.
#include "QorThread.h"

#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qor {

namespace {

// How far "highest" lies above the process's normal priority, in nice steps.
constexpr int HIGHEST_NICE_BOOST = 5;
constexpr int MOST_FAVOURABLE_NICE = -20;

} // namespace

bool QorThread::raiseCurrentThreadPriority() {
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (current == -1 && errno != 0) return false;
    int target = current - HIGHEST_NICE_BOOST;
    if (target < MOST_FAVOURABLE_NICE) target = MOST_FAVOURABLE_NICE;
    return setpriority(PRIO_PROCESS, tid, target) == 0;
}

} // namespace qor
