#include "QorThread.h"

#include "Logging.h"
#include "ThreadRegistry.h"

#include <Poco/Exception.h>

#include <exception>
#include <stdexcept>

namespace qor {

namespace {

constexpr int PRIORITY_ATTEMPTS = 50;
// A join without limit first tries this long before it reports the wait.
constexpr long QUIET_JOIN_MS = 20;

} // namespace

QorThread::QorThread(bool waitForStart) : waitForStart_(waitForStart) {
    ThreadRegistry::add(this);
}

QorThread::~QorThread() {
    stop(true, false);
    ThreadRegistry::remove(this);
}

void QorThread::run() {
    // POCO finishes its own start-up work on this thread's data after the
    // thread exists; the body must not touch that data (its priority)
    // before start has returned.
    launched_.wait();
    // A stop requested between start and this point stays in force: the
    // body then sees no running bit and leaves at once.
    std::int32_t expected = ThreadState::STARTING;
    state_.compare_exchange_strong(expected, ThreadState::RUNNING);
    {
        Poco::Thread* current = Poco::Thread::current();
        Poco::FastMutex::ScopedLock guard(textMutex_);
        threadIdText_ = current ? std::to_string(current->id()) : "-1";
    }
    try {
        eventLoop();
    } catch (const Poco::Exception& e) {
        logError(logPrefix() + "Thread body ended by exception: " + e.displayText());
    } catch (const std::exception& e) {
        logError(logPrefix() + "Thread body ended by exception: " + e.what());
    } catch (...) {
        logError(logPrefix() + "Thread body ended by unknown exception");
    }
    state_.store(ThreadState::BODY_RETURNED);
    if (!name().empty() && isTraceEnabled()) logTrace(logPrefix() + "Thread terminated");
}

bool QorThread::launch(int timeoutMs) {
    state_.store(ThreadState::STARTING);
    started_.store(true);
    thread_.setName(name());
    launched_.reset();
    try {
        thread_.start(*this);
    } catch (...) {
        started_.store(false);
        state_.store(ThreadState::CREATED);
        launched_.set();
        throw;
    }
    launched_.set();
    if (!waitForStart_) return true;
    if (timeoutMs < 1) {
        startedSignal_.wait();
        return true;
    }
    return startedSignal_.tryWait(timeoutMs);
}

bool QorThread::start(int timeoutMs) { return launch(timeoutMs); }

void QorThread::stop(bool join, bool verbose) {
    auto stoppable = [](std::int32_t word) {
        return word == ThreadState::STARTING || word == ThreadState::RUNNING;
    };
    std::int32_t current = state_.load();
    if (stoppable(current)) {
        if ((verbose || !name().empty()) && isDebugEnabled())
            logDebug(logPrefix() + "Stopping and joining thread (" + threadIdText() + ")");
        // Only a starting or running word is replaced: a body that has
        // returned meanwhile keeps its state.
        while (stoppable(current) && !state_.compare_exchange_weak(current, ThreadState::STOP_REQUESTED)) {
        }
    }
    if (join) this->join(-1, verbose);
}

bool QorThread::join(int timeoutMs, bool verbose) {
    if ((state_.load() & ThreadState::JOINED) != 0) return true;
    if (started_.load()) {
        const std::string prefix = logPrefix();
        const std::string id = threadIdText();
        auto where = [this] {
            return std::to_string(checkpointLine()) + "/" + std::to_string(checkpointFile());
        };
        if (timeoutMs >= 0) {
            if (isDebugEnabled())
                logDebug(prefix + "Waiting to join thread (" + id + ") currently at " + where());
            if (!thread_.tryJoin(timeoutMs)) {
                if (isDebugEnabled())
                    logDebug(prefix + "Thread (" + id + ") not joined, currently at " + where());
                return false;
            }
        } else if (!thread_.tryJoin(QUIET_JOIN_MS)) {
            if (isDebugEnabled()) {
                if (checkpointLine() > 0)
                    logDebug(prefix + "Joining thread (" + id + ") currently at " + where());
                else
                    logDebug(prefix + "Joining thread (" + id + ")");
            }
            thread_.join();
        }
        if ((verbose || !name().empty()) && isDebugEnabled())
            logDebug(prefix + "Thread (" + threadIdText() + ") joined");
    }
    started_.store(false);
    state_.store(ThreadState::JOINED);
    return true;
}

bool QorThread::stopAndJoin(int timeoutMs, bool verbose) {
    stop(false, verbose);
    return join(timeoutMs, verbose);
}

void QorThread::requestStop() { state_.store(ThreadState::STOP_REQUESTED); }

std::string QorThread::name() const {
    Poco::FastMutex::ScopedLock guard(textMutex_);
    return name_;
}

std::string QorThread::logPrefix() const {
    std::string prefix = name();
    if (!prefix.empty()) prefix += ": ";
    return prefix;
}

std::string QorThread::threadIdText() const {
    Poco::FastMutex::ScopedLock guard(textMutex_);
    return threadIdText_;
}

void QorThread::setName(const std::string& name) {
    Poco::FastMutex::ScopedLock guard(textMutex_);
    name_ = name;
}

void QorThread::checkpoint(int line, int fileId) {
    checkpointLine_.store(line);
    checkpointFile_.store(fileId);
    checkpointStep_.fetch_add(1);
}

void QorThread::signalStarted() {
    try {
        startedSignal_.set();
    } catch (const Poco::SystemException&) {
        // Already signalled: the start has its answer.
    }
}

void QorThread::raisePriority() {
    if (raiseCurrentThreadPriority()) return;
    if (isDebugEnabled()) logDebug(logPrefix() + "Error set max priority");
    setPriorityWithRetry(Poco::Thread::PRIO_HIGHEST);
}

bool QorThread::setPriorityWithRetry(int priority) {
    const std::string prefix = logPrefix();
    for (int attempt = 1; attempt <= PRIORITY_ATTEMPTS; ++attempt) {
        const std::string attemptText = ".  Attempt " + std::to_string(attempt);
        try {
            thread_.setPriority(static_cast<Poco::Thread::Priority>(priority));
            if (isDebugEnabled()) logDebug(prefix + "Set thread priority to " + std::to_string(priority));
            return true;
        } catch (const std::runtime_error& e) {
            logDebug(prefix + "Can't set thread priority.  Runtime Error: " + e.what() + attemptText);
        } catch (const Poco::Exception& e) {
            logDebug(prefix + "Can't set thread priority.  Exception: " + e.displayText() + attemptText);
        } catch (const std::exception& e) {
            logDebug(prefix + "Can't set thread priority.  Exception: " + e.what() + attemptText);
        } catch (...) {
            logDebug(prefix + "Can't set thread priority.  Unexpected error" + attemptText);
        }
    }
    return false;
}

} // namespace qor
