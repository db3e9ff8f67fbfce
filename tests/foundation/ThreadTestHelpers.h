// Helpers shared by the thread and event-queue tests: a QorThread whose body
// is a function, a plain POCO helper thread, and a bounded poll.
#pragma once

#include "QorThread.h"

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_threads {

// Polls the condition every few ms, for at most the given time.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    for (int waited = 0;; waited += 2) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        Poco::Thread::sleep(2);
    }
}

// Replaces every "{id}" in the expected lines by the thread's id text.
inline std::vector<std::string> withId(std::vector<std::string> lines, const std::string& id) {
    for (std::string& line : lines)
        for (std::size_t at = line.find("{id}"); at != std::string::npos; at = line.find("{id}"))
            line.replace(at, 4, id);
    return lines;
}

// The lines without those that contain the fragment.
inline std::vector<std::string> without(std::vector<std::string> lines, const std::string& fragment) {
    std::vector<std::string> kept;
    for (std::string& line : lines)
        if (line.find(fragment) == std::string::npos) kept.push_back(std::move(line));
    return kept;
}

// A QorThread whose body is a function of the thread itself.
class ScriptedThread : public qor::QorThread {
public:
    using Body = std::function<void(ScriptedThread&)>;

    ScriptedThread(const std::string& name, Body body, bool waitForStart = false)
        : QorThread(waitForStart), body_(std::move(body)) {
        setName(name);
    }
    // The body must be gone before body_ is.
    ~ScriptedThread() override { stop(true, false); }

    void eventLoop() override { body_(*this); }

    using QorThread::checkpoint;
    using QorThread::signalStarted;

    // Body that runs until its running bit goes.
    static void runWhileRunning(ScriptedThread& self) {
        while (self.isRunning()) Poco::Thread::sleep(1);
    }

private:
    Body body_;
};

// Runs a function on a plain POCO thread.
class FunctionThread : public Poco::Runnable {
public:
    explicit FunctionThread(std::function<void()> fn) : fn_(std::move(fn)) { thread_.start(*this); }
    ~FunctionThread() override { thread_.join(); }
    void run() override { fn_(); }

private:
    std::function<void()> fn_;
    Poco::Thread thread_;
};

} // namespace testing_threads
