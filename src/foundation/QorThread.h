// Base of every worker thread of the client: a named object that owns one
// POCO thread, runs its body (eventLoop) on it, keeps a state word that the
// body polls, records checkpoints that a waiting join reports, and offers
// start, stop and join with time-outs. Every live object is linked into the
// process-wide thread registry.
#pragma once

#include <Poco/Event.h>
#include <Poco/Mutex.h>
#include <Poco/Runnable.h>
#include <Poco/Semaphore.h>
#include <Poco/Thread.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace qor {

// Values of the state word; one value at a time, tests use the masks.
namespace ThreadState {
constexpr std::int32_t CREATED = 0;
constexpr std::int32_t STARTING = 1;
constexpr std::int32_t RUNNING = 2;
constexpr std::int32_t STOP_REQUESTED = 4;
constexpr std::int32_t BODY_RETURNED = 8;
constexpr std::int32_t JOINED = 16;
// Any of these means "stop" to a body that waits.
constexpr std::int32_t STOPPING_MASK = STOP_REQUESTED | BODY_RETURNED | JOINED;
} // namespace ThreadState

// Source file ids that bodies record with their checkpoints.
namespace CheckpointFile {
constexpr int NATIVE_CLIENT = 30;
constexpr int VIDEO_DECODER = 33;
constexpr int CONTROL_DISPATCH = 39;
constexpr int RECEIVE_THREADS = 42;
constexpr int SERVER_PROXY = 48;
constexpr int SCREEN_SESSION = 50;
} // namespace CheckpointFile

class ThreadRegistry;

class QorThread : public Poco::Runnable {
public:
    explicit QorThread(bool waitForStart);
    // Stops and joins without limit: the owner must make the body leave
    // before deleting the object.
    ~QorThread() override;
    QorThread(const QorThread&) = delete;
    QorThread& operator=(const QorThread&) = delete;

    void run() override;
    virtual void eventLoop() = 0;
    virtual bool start(int timeoutMs);
    virtual void stop(bool join, bool verbose);
    virtual bool join(int timeoutMs, bool verbose);
    virtual bool stopAndJoin(int timeoutMs, bool verbose);
    virtual void requestStop();
    virtual std::string name() const;
    virtual std::string logPrefix() const;

    // Called by a body on its own thread as its first step.
    void raisePriority();
    bool setPriorityWithRetry(int priority);

    std::int32_t state() const { return state_.load(); }
    bool isRunning() const { return (state() & ThreadState::RUNNING) != 0; }
    bool stopPending() const { return (state() & ThreadState::STOPPING_MASK) != 0; }
    bool started() const { return started_.load(); }
    bool waitsForStart() const { return waitForStart_; }
    std::string threadIdText() const;
    std::int32_t checkpointLine() const { return checkpointLine_.load(); }
    std::int32_t checkpointFile() const { return checkpointFile_.load(); }
    std::int32_t checkpointStep() const { return checkpointStep_.load(); }

protected:
    // Set by subclass constructors, before the thread starts.
    void setName(const std::string& name);
    // Records where the body is about to block (pass __LINE__ and the file id).
    void checkpoint(int line, int fileId);
    // Tells a start that waits for it that the body's set-up is done.
    void signalStarted();
    // Sets state 1 and started, starts the POCO thread and, with
    // waitForStart, waits for the body's signal (without limit below 1 ms).
    bool launch(int timeoutMs);

private:
    friend class ThreadRegistry;

    // Raises the calling thread with the platform's own means; false when
    // the system refuses.
    static bool raiseCurrentThreadPriority();

    Poco::Thread thread_;
    Poco::Event launched_; // set once start has handed the thread over
    Poco::Semaphore startedSignal_{0, 1};
    const bool waitForStart_;
    std::atomic<bool> started_{false};
    mutable Poco::FastMutex textMutex_; // guards name_ and threadIdText_
    std::string threadIdText_;
    std::string name_;
    std::atomic<std::int32_t> checkpointLine_{-1};
    std::atomic<std::int32_t> checkpointFile_{0};
    std::atomic<std::int32_t> checkpointStep_{0};
    QorThread* nextInRegistry_ = nullptr;
    std::atomic<std::int32_t> state_{ThreadState::CREATED};
};

} // namespace qor
