#include "VHProxyListener.h"

#include "ServerPlatform.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/SocketDefs.h>

#include <algorithm>
#include <system_error>

namespace {

Poco::Logger& logger() { return Poco::Logger::get("vhproxy"); }

// The longest the accepting thread sleeps in one poll: a backstop, as stop
// wakes it.
constexpr auto pollStep = std::chrono::milliseconds(250);

} // namespace

VHProxyListener::VHProxyListener(Handler handler, int requestTimeoutMs, int maxRequestLength)
    : handler_(std::move(handler)), requestTimeoutMs_(requestTimeoutMs), maxRequestLength_(maxRequestLength) {}

VHProxyListener::~VHProxyListener() { stop(); }

bool VHProxyListener::start(const Poco::Net::SocketAddress& address, std::string& error) {
    try {
        // Address reuse for a quick restart, but no port sharing.
        listener_.bind(address, true, false);
        listener_.listen(64);
        // A connection that goes away between the poll and the accept must
        // not leave the accept waiting.
        listener_.setBlocking(false);
        pollSet_ = std::make_unique<Poco::Net::PollSet>();
        for (int i = 0; i < workerCount; ++i) workers_.emplace_back([this] { work(); });
        acceptor_ = std::thread([this] { serve(); });
        return true;
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    } catch (const std::system_error& e) {
        error = std::string("can't start a thread: ") + e.what();
    }
    stop();
    return false;
}

void VHProxyListener::stop() {
    if (stopping_.exchange(true)) return;
    wakeBlockedAccept(listener_); // the accepting thread's poll returns
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard<std::mutex> guard(lock_);
        work_.notify_all();
    }
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    // Requests no worker began are closed unanswered.
    requests_.clear();
    listener_.close();
}

std::size_t VHProxyListener::held() {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_.size() + requests_.size() + busy_; // waiting_ is this thread's: the lock is for the rest
}

void VHProxyListener::serve() {
    bool listening = false;
    while (!stopping_.load()) {
        auto now = PendingRequest::Clock::now();
        while (!waiting_.empty() && waiting_.front().deadline() <= now)
            drop(waiting_.begin(), "No request within " + std::to_string(requestTimeoutMs_) + " ms");
        // A new connection may push out the one that waited longest; while
        // the workers hold every place, new ones wait in the backlog.
        const bool accepting = now >= acceptPausedUntil_ && (!waiting_.empty() || held() < maxHeld);
        try {
            if (accepting && !listening) pollSet_->add(listener_, Poco::Net::PollSet::POLL_READ);
            if (!accepting && listening) pollSet_->remove(listener_);
            listening = accepting;
        } catch (const Poco::Exception& e) {
            logger().error("Can't poll the listening socket: " + e.displayText());
        }
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(pollStep);
        if (!waiting_.empty())
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(waiting_.front().deadline() - now));
        if (now < acceptPausedUntil_)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(acceptPausedUntil_ - now));
        Poco::Net::PollSet::SocketModeMap ready;
        try {
            ready = pollSet_->poll(Poco::Timespan(std::max<long long>(wait.count(), 0)));
        } catch (const Poco::Exception& e) {
            if (stopping_.load()) break;
            logger().error("Can't wait for connections: " + e.displayText());
            std::this_thread::sleep_for(pollStep);
            continue;
        }
        for (const auto& socket : ready) {
            if (stopping_.load()) break;
            if (socket.first == listener_) {
                accept();
                continue;
            }
            const auto found = waitingBySocket_.find(socket.first);
            if (found == waitingBySocket_.end()) continue;
            const auto pending = found->second;
            std::string reason;
            switch (pending->read(reason)) {
            case PendingRequest::Progress::Waiting: break;
            case PendingRequest::Progress::Failed: drop(pending, reason); break;
            case PendingRequest::Progress::Complete: handOver(pending); break;
            }
        }
    }
    // Connections still waiting for their requests end now.
    while (!waiting_.empty()) drop(waiting_.begin(), "");
}

void VHProxyListener::accept() {
    Poco::Net::StreamSocket socket;
    try {
        socket = listener_.acceptConnection();
    } catch (const Poco::Exception& e) {
        if (stopping_.load() || e.code() == POCO_EAGAIN || e.code() == POCO_EWOULDBLOCK) return;
        // Out of descriptors, most likely: accepting again at once would
        // fail again at once.
        if (acceptFailure_.met())
            logger().warning("Can't accept connections, " + e.displayText() +
                             "; accepting paused until a connection ends");
        acceptPausedUntil_ = PendingRequest::Clock::now() + std::chrono::milliseconds(acceptPauseMs);
        return;
    }
    std::uint64_t times = 0;
    if (acceptFailure_.over(times)) logger().information("Accepting connections again");
    if (held() >= maxHeld && !waiting_.empty()) {
        if (crowded_.met())
            logger().warning("More than " + std::to_string(maxHeld) +
                             " connections at once: closing those that waited longest for their requests");
        drop(waiting_.begin(), "");
    } else if (crowded_.over(times)) {
        logger().information("Fewer connections again; " + std::to_string(times) + " closed early meanwhile");
    }
    try {
        waiting_.emplace_back(socket,
                              PendingRequest::Clock::now() + std::chrono::milliseconds(requestTimeoutMs_),
                              maxRequestLength_);
        const auto pending = std::prev(waiting_.end());
        waitingBySocket_[pending->socket()] = pending;
        pollSet_->add(pending->socket(), Poco::Net::PollSet::POLL_READ | Poco::Net::PollSet::POLL_ERROR);
    } catch (const Poco::Exception& e) {
        logger().warning("Can't wait for the request of a connection: " + e.displayText());
        if (!waiting_.empty() && waiting_.back().socket() == socket) drop(std::prev(waiting_.end()), "");
    }
}

void VHProxyListener::drop(std::list<PendingRequest>::iterator pending, const std::string& reason) {
    if (!reason.empty()) logger().warning(reason);
    Poco::Net::StreamSocket socket = pending->socket();
    try {
        pollSet_->remove(socket);
    } catch (const Poco::Exception&) {
    }
    waitingBySocket_.erase(socket);
    waiting_.erase(pending);
    try {
        socket.close();
    } catch (const Poco::Exception&) {
    }
    acceptPausedUntil_ = {}; // a descriptor came free
}

void VHProxyListener::handOver(std::list<PendingRequest>::iterator pending) {
    Request request{pending->socket(), pending->request()};
    try {
        pollSet_->remove(request.socket);
        // The worker answers with a blocking send under a time-out.
        request.socket.setBlocking(true);
    } catch (const Poco::Exception& e) {
        drop(pending, "Connection failed: " + e.displayText());
        return;
    }
    waitingBySocket_.erase(request.socket);
    waiting_.erase(pending);
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(std::move(request));
    }
    work_.notify_one();
}

void VHProxyListener::work() {
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(lock_);
            work_.wait(lock, [this] { return stopping_.load() || !requests_.empty(); });
            if (stopping_.load()) return;
            request = std::move(requests_.front());
            requests_.pop_front();
            ++busy_;
        }
        try {
            handler_(request.socket, request.text);
        } catch (const std::exception& e) {
            logger().error(std::string("Request failed: ") + e.what());
        }
        std::lock_guard<std::mutex> guard(lock_);
        --busy_;
    }
}
