#include "VHProxyListener.h"

#include "ServerPlatform.h"
#include "TcpPeerIdentity.h"
#include "VHProxyConnection.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <sys/socket.h>

#include <algorithm>
#include <system_error>

namespace {

Poco::Logger& logger() { return Poco::Logger::get("vhproxy"); }

// The longest an accepting thread sleeps in one poll: a backstop, as stop
// wakes it, and the pace at which summaries are due.
constexpr auto pollStep = std::chrono::milliseconds(250);

std::string peerText(const Poco::Net::StreamSocket& socket) {
    try {
        return socket.peerAddress().toString();
    } catch (const Poco::Exception&) {
        return "a connection";
    }
}

std::string secondsSince(ShortageReport::Clock::time_point since) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(ShortageReport::Clock::now() - since).count());
}

poco_socket_t descriptor(const PendingRequest& pending) { return pending.socket().impl()->sockfd(); }

} // namespace

VHProxyListener::VHProxyListener(Handler handler, Admission admits, Refusal refusal, int requestTimeoutMs,
                                 int maxRequestLength, ShortageReport::Clock::duration summaryPeriod)
    : handler_(std::move(handler)), admits_(std::move(admits)), refusal_(std::move(refusal)),
      requestTimeoutMs_(requestTimeoutMs), maxRequestLength_(maxRequestLength), summaryPeriod_(summaryPeriod),
      refusals_(summaryPeriod), unfinished_(summaryPeriod), unknown_(summaryPeriod) {}

VHProxyListener::~VHProxyListener() { stop(); }

bool VHProxyListener::start(const Poco::Net::SocketAddress& address, std::string& error) {
    try {
        // Address reuse for a quick restart, but no port sharing.
        listener_.bind(address, true, false);
        listener_.listen(backlog);
        // Accepting goes on until the queue is empty; a connection that
        // another thread took, or that went away, leaves no accept waiting.
        listener_.setBlocking(false);
        for (int i = 0; i < acceptorCount; ++i) {
            acceptors_.push_back(std::make_unique<Acceptor>());
            acceptors_.back()->pollSet = std::make_unique<Poco::Net::PollSet>();
        }
        for (int i = 0; i < workerCount; ++i) workers_.emplace_back([this] { work(); });
        for (const auto& acceptor : acceptors_) {
            Acceptor* const own = acceptor.get();
            own->thread = std::thread([this, own] { serve(*own); });
        }
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
    wakeBlockedAccept(listener_); // the accepting threads' polls return
    for (const auto& acceptor : acceptors_)
        if (acceptor->thread.joinable()) acceptor->thread.join();
    {
        std::lock_guard<std::mutex> guard(lock_);
        work_.notify_all();
    }
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    // Requests no worker began are closed unanswered.
    requests_.clear();
    acceptors_.clear();
    listener_.close();
    std::lock_guard<std::mutex> guard(reportLock_);
    summarise(true);
}

std::size_t VHProxyListener::held() {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_ + requests_.size() + busy_;
}

void VHProxyListener::serve(Acceptor& acceptor) {
    bool listening = false;
    std::vector<poco_socket_t> readable;
    while (!stopping_.load()) {
        auto now = PendingRequest::Clock::now();
        expire(acceptor, now);
        {
            std::lock_guard<std::mutex> guard(reportLock_);
            if (now - summarisedAt_ >= pollStep) {
                summarisedAt_ = now;
                summarise(false);
            }
        }
        // A new connection may push out the one that waited longest; while
        // the workers hold every place, new ones wait in the backlog.
        const bool accepting = now >= acceptor.pausedUntil && (!acceptor.waiting.empty() || held() < maxHeld);
        try {
            if (accepting && !listening) acceptor.pollSet->add(listener_, Poco::Net::PollSet::POLL_READ);
            if (!accepting && listening) acceptor.pollSet->remove(listener_);
            listening = accepting;
        } catch (const Poco::Exception& e) {
            logger().error("Can't poll the listening socket: " + e.displayText());
        }
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(pollStep);
        for (const Pending* pending : {&acceptor.waiting, &acceptor.refusing})
            if (!pending->empty())
                wait = std::min(wait,
                                std::chrono::duration_cast<std::chrono::microseconds>(pending->front().deadline() - now));
        if (now < acceptor.pausedUntil)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(acceptor.pausedUntil - now));
        bool listenerReady = false;
        readable.clear();
        try {
            // The poll's copies of the sockets end with this block, before
            // any of them can go to a worker.
            const Poco::Net::PollSet::SocketModeMap ready =
                acceptor.pollSet->poll(Poco::Timespan(std::max<long long>(wait.count(), 0)));
            for (const auto& socket : ready) {
                if (socket.first == listener_)
                    listenerReady = true;
                else
                    readable.push_back(socket.first.impl()->sockfd());
            }
        } catch (const Poco::Exception& e) {
            if (stopping_.load()) break;
            logger().error("Can't wait for connections: " + e.displayText());
            std::this_thread::sleep_for(pollStep);
            continue;
        }
        if (stopping_.load()) break;
        if (listenerReady) acceptWaiting(acceptor);
        // A descriptor that ended meanwhile is no longer found; one that a
        // new connection took since is only read in vain.
        for (const poco_socket_t fd : readable) {
            if (stopping_.load()) break;
            if (acceptor.places.count(fd)) readFrom(acceptor, fd);
        }
    }
    // Connections still waiting for their requests end now.
    while (!acceptor.waiting.empty()) drop(acceptor, descriptor(acceptor.waiting.front()), "");
    while (!acceptor.refusing.empty()) drop(acceptor, descriptor(acceptor.refusing.front()), "");
}

void VHProxyListener::expire(Acceptor& acceptor, PendingRequest::Clock::time_point now) {
    while (!acceptor.waiting.empty() && acceptor.waiting.front().deadline() <= now)
        drop(acceptor, descriptor(acceptor.waiting.front()),
             "No request within " + std::to_string(requestTimeoutMs_) + " ms");
    while (!acceptor.refusing.empty() && acceptor.refusing.front().deadline() <= now)
        refuse(acceptor, descriptor(acceptor.refusing.front()));
}

void VHProxyListener::acceptWaiting(Acceptor& acceptor) {
    // At most a queue's length: what was waiting when the round began.
    for (int i = 0; i < backlog && !stopping_.load(); ++i) {
        // While the workers hold every place, nothing is accepted.
        if (acceptor.waiting.empty() && held() >= maxHeld) return;
        if (!acceptOne(acceptor)) return;
    }
}

bool VHProxyListener::acceptOne(Acceptor& acceptor) {
    poco_socket_t fd = POCO_INVALID_SOCKET;
    {
        Poco::Net::StreamSocket socket;
        try {
            socket = listener_.acceptConnection();
        } catch (const Poco::Exception& e) {
            if (stopping_.load() || e.code() == POCO_EAGAIN || e.code() == POCO_EWOULDBLOCK) return false;
            // Out of descriptors, most likely: accepting again at once would
            // fail again at once.
            bool tell = false;
            {
                std::lock_guard<std::mutex> guard(reportLock_);
                tell = acceptFailure_.met();
            }
            if (tell)
                logger().warning("Can't accept connections, " + e.displayText() +
                                 "; accepting paused until a connection ends");
            acceptor.pausedUntil = PendingRequest::Clock::now() + std::chrono::milliseconds(acceptPauseMs);
            return false;
        }
        std::uint64_t times = 0;
        bool again = false;
        {
            std::lock_guard<std::mutex> guard(reportLock_);
            again = acceptFailure_.over(times);
        }
        if (again) logger().information("Accepting connections again");
        fd = admit(acceptor, socket);
    }
    // The connection's request may be there already. Only its pending
    // request holds the socket now, so it may go to a worker.
    if (fd != POCO_INVALID_SOCKET) readFrom(acceptor, fd);
    return true;
}

bool VHProxyListener::metRefusal(unsigned int userId) { return refusals_.refused(userId); }

bool VHProxyListener::metUnfinished(unsigned int userId) { return unfinished_.refused(userId); }

bool VHProxyListener::metUnknown() {
    std::lock_guard<std::mutex> guard(reportLock_);
    return unknown_.met();
}

poco_socket_t VHProxyListener::admit(Acceptor& acceptor, const Poco::Net::StreamSocket& socket) {
    TcpPeerIdentity peer;
    std::string reason;
    TcpPeerLookup lookup = TcpPeerLookup::Failed;
    try {
        lookup = tcpConnectingPeer(socket, peer, reason);
    } catch (const Poco::Exception& e) {
        reason = e.displayText();
    }
    if (lookup != TcpPeerLookup::Found) {
        // Nothing of its request is carried out; the socket closes as it
        // goes out of use.
        if (metUnknown()) logger().warning("Refused " + peerText(socket) + ": its user is unknown, " + reason);
        return POCO_INVALID_SOCKET;
    }
    const bool refused = !admits_(peer.userId);
    if (refused) {
        if (metRefusal(peer.userId))
            logger().warning("Refused " + peerText(socket) + " of user " + std::to_string(peer.userId) +
                             ": not allowed to share USB devices");
        if (acceptor.refusing.size() >= maxRefusing / acceptorCount)
            refuse(acceptor, descriptor(acceptor.refusing.front()));
    } else {
        const bool crowded = held() >= maxHeld && !acceptor.waiting.empty();
        bool tell = false;
        std::uint64_t times = 0;
        {
            std::lock_guard<std::mutex> guard(reportLock_);
            tell = crowded ? crowded_.met() : crowded_.over(times);
        }
        if (crowded) {
            if (tell)
                logger().warning("More than " + std::to_string(maxHeld) +
                                 " connections at once: closing those that waited longest for their requests");
            drop(acceptor, descriptor(acceptor.waiting.front()), "");
        } else if (tell) {
            logger().information("Fewer connections again; " + std::to_string(times) + " closed early meanwhile");
        }
    }
    Pending& into = refused ? acceptor.refusing : acceptor.waiting;
    poco_socket_t fd = POCO_INVALID_SOCKET;
    try {
        into.emplace_back(socket, peer.userId,
                          PendingRequest::Clock::now() + std::chrono::milliseconds(requestTimeoutMs_),
                          refused ? std::min(maxRefusedRequestLength, maxRequestLength_) : maxRequestLength_);
        fd = socket.impl()->sockfd();
        acceptor.places[fd] = Place{refused, std::prev(into.end()), false};
    } catch (const Poco::Exception& e) {
        logger().warning("Can't wait for the request of a connection: " + e.displayText());
        if (!into.empty() && into.back().socket() == socket) into.pop_back();
        return POCO_INVALID_SOCKET;
    }
    if (!refused) {
        std::lock_guard<std::mutex> guard(lock_);
        ++waiting_;
    }
    return fd;
}

void VHProxyListener::readFrom(Acceptor& acceptor, poco_socket_t fd) {
    Place& place = acceptor.places.at(fd);
    std::string reason;
    switch (place.at->read(reason)) {
    case PendingRequest::Progress::Waiting:
        if (!place.polled) {
            try {
                acceptor.pollSet->add(place.at->socket(),
                                      Poco::Net::PollSet::POLL_READ | Poco::Net::PollSet::POLL_ERROR);
                place.polled = true;
            } catch (const Poco::Exception& e) {
                drop(acceptor, fd, "Can't wait for the request of a connection: " + e.displayText());
            }
        }
        break;
    case PendingRequest::Progress::Failed: drop(acceptor, fd, reason); break;
    case PendingRequest::Progress::Complete:
        if (place.refused)
            refuse(acceptor, fd);
        else
            handOver(acceptor, fd);
        break;
    }
}

bool VHProxyListener::release(Acceptor& acceptor, poco_socket_t fd, Pending& into) {
    const auto found = acceptor.places.find(fd);
    const Place place = found->second;
    acceptor.places.erase(found);
    if (place.polled) {
        try {
            acceptor.pollSet->remove(place.at->socket());
        } catch (const Poco::Exception&) {
        }
    }
    into.splice(into.end(), place.refused ? acceptor.refusing : acceptor.waiting, place.at);
    // A descriptor comes free.
    acceptor.pausedUntil = {};
    return place.refused;
}

void VHProxyListener::drop(Acceptor& acceptor, poco_socket_t fd, const std::string& reason) {
    Pending ended;
    const bool refused = release(acceptor, fd, ended);
    if (!refused) {
        std::lock_guard<std::mutex> guard(lock_);
        --waiting_;
    }
    // A refused user's connection was counted as refused already.
    if (!reason.empty() && !refused) {
        const PendingRequest& pending = ended.front();
        if (metUnfinished(pending.userId()))
            logger().warning(reason + " (" + peerText(pending.socket()) + " of user " +
                             std::to_string(pending.userId()) + ")");
    }
    // The socket closes as it goes: no other copy of it is left.
}

void VHProxyListener::refuse(Acceptor& acceptor, poco_socket_t fd) {
    Pending ended;
    release(acceptor, fd, ended);
    PendingRequest& pending = ended.front();
    try {
        // A few hundred bytes, which the socket's empty send buffer takes
        // at once; what does not go out is lost with the connection.
        const std::string frame = replyFrame(refusal_(pending.request(), pending.userId()));
        pending.socket().sendBytes(frame.data(), static_cast<int>(frame.size()), MSG_NOSIGNAL);
        pending.socket().shutdownSend();
    } catch (const Poco::Exception&) {
    }
}

void VHProxyListener::handOver(Acceptor& acceptor, poco_socket_t fd) {
    try {
        // The worker answers with a blocking send under a time-out.
        acceptor.places.at(fd).at->socket().setBlocking(true);
    } catch (const Poco::Exception& e) {
        drop(acceptor, fd, "Connection failed: " + e.displayText());
        return;
    }
    Pending request;
    release(acceptor, fd, request);
    {
        std::lock_guard<std::mutex> guard(lock_);
        --waiting_;
        requests_.splice(requests_.end(), request);
    }
    work_.notify_one();
}

void VHProxyListener::summarise(bool all) {
    const auto sumUp = [all](ShortageReport& report, const std::function<std::string(std::uint64_t)>& text) {
        std::uint64_t times = 0;
        if (!(all ? report.over(times) : report.lapsed(times))) return false;
        if (times > 1) logger().warning(text(times - 1));
        return true;
    };
    for (const PeerRefusalReport::Summary& summary : refusals_.summaries(all))
        logger().warning("Refused " + summary.text());
    for (const PeerRefusalReport::Summary& summary : unfinished_.summaries(all))
        logger().warning(std::to_string(summary.more) + " more connections of user " +
                         std::to_string(summary.userId) + " ended without a request in the last " +
                         std::to_string(summary.seconds) + " s");
    const std::string since = secondsSince(unknown_.toldAt());
    sumUp(unknown_, [&](std::uint64_t more) {
        return "Refused " + std::to_string(more) + " more connections whose user is unknown in the last " + since +
               " s";
    });
}

void VHProxyListener::work() {
    for (;;) {
        // The request's node, socket included, moves to this thread: the
        // last copy of the socket ends here.
        Pending taken;
        {
            std::unique_lock<std::mutex> lock(lock_);
            work_.wait(lock, [this] { return stopping_.load() || !requests_.empty(); });
            if (stopping_.load()) return;
            taken.splice(taken.end(), requests_, requests_.begin());
            ++busy_;
        }
        const PendingRequest& request = taken.front();
        try {
            handler_(request.socket(), request.request(), request.userId());
        } catch (const std::exception& e) {
            logger().error(std::string("Request failed: ") + e.what());
        }
        taken.clear();
        std::lock_guard<std::mutex> guard(lock_);
        --busy_;
    }
}
