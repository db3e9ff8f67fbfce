#include "JsBridge.h"

#include "BridgeConnectionFactory.h"
#include "BridgePeerFilter.h"
#include "Logging.h"
#include "OwnerLock.h"
#include "RequestHandlerFactory.h"
#include "RequestHeadDeadline.h"

#include <Poco/Base64Encoder.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Path.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timespan.h>

#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <sstream>

JsBridge* jsBridge = nullptr;

namespace qor {

std::atomic<Poco::UInt16> bridgePort{0};

namespace {

// Guards the nonce and the path prefix together.
OwnerLock bridgeStateLock;
std::string currentNonce;
std::string currentPathPrefix;

// The running server (it holds the listening socket); replaced by a second
// start, kept until the process ends after a stop.
Poco::Net::TCPServer* httpServer = nullptr;
// The running server's screen of its connections, which counts the
// refusals it does not log one by one.
BridgePeerFilter::Ptr peerFilter;

constexpr int RANDOM_BYTES = 32;
constexpr int LISTEN_BACKLOG = 64;

// Any local process can connect. A connection holds a server thread until its
// request has come, so a peer that sends nothing, or idles after an answer,
// must let go soon, and enough threads and queue places must remain for the
// page's sockets. The page sends its upgrade request at once and the bridge
// answers one request per connection (an upgraded socket leaves the server).
constexpr int REQUEST_TIMEOUT_S = 5;
// The whole request head, however its bytes trickle, must come within this
// time from the moment a server thread takes the connection. The page writes
// its upgrade request in one piece as soon as it has connected, which takes
// milliseconds over loopback; 3 s leave ample room for a loaded machine and
// free a thread that is held by a peer sending byte by byte.
constexpr int REQUEST_HEAD_LIMIT_S = 3;
constexpr int MAX_SERVER_THREADS = 64;
constexpr int MAX_QUEUED_CONNECTIONS = 256;

// The bridge's own threads, apart from POCO's default pool; made on the
// first start and kept for the life of the process like the server.
Poco::ThreadPool* serverThreads = nullptr;

Poco::Net::HTTPServerParams* newServerParams() {
    auto* params = new Poco::Net::HTTPServerParams;
    params->setTimeout(Poco::Timespan(REQUEST_TIMEOUT_S, 0));
    params->setKeepAlive(false);
    params->setMaxThreads(MAX_SERVER_THREADS);
    params->setMaxQueued(MAX_QUEUED_CONNECTIONS);
    return params;
}

// Equal texts, compared without stopping at the first difference.
bool sameNonce(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// A fresh token, or "" (matching nothing) when the random source failed.
std::string freshNonce() {
    try {
        return randomUrlToken();
    } catch (Poco::Exception& e) {
        logError("JsBridge: Can't create js-bridge nonce: " + e.displayText());
        return std::string();
    }
}

} // namespace

std::string bridgeNonce() {
    ScopedOwnerLock guard(bridgeStateLock);
    return currentNonce;
}

void renewBridgeNonce() {
    std::string nonce = freshNonce();
    ScopedOwnerLock guard(bridgeStateLock);
    currentNonce.swap(nonce);
}

bool acceptBridgeNonce(const std::string& presented, const std::string* joinedPrefix) {
    // Made outside the lock; thrown away when the nonce does not match.
    std::string next = freshNonce();
    ScopedOwnerLock guard(bridgeStateLock);
    if (currentNonce.empty() || !sameNonce(presented, currentNonce)) return false;
    currentNonce.swap(next);
    if (joinedPrefix) currentPathPrefix = pathPrefixText(*joinedPrefix);
    return true;
}

std::string serverPathPrefix() {
    ScopedOwnerLock guard(bridgeStateLock);
    return currentPathPrefix;
}

void setServerPathPrefix(const std::string& joinedSegments) {
    std::string prefix = pathPrefixText(joinedSegments);
    ScopedOwnerLock guard(bridgeStateLock);
    currentPathPrefix.swap(prefix);
}

std::string pathPrefixText(const std::string& joinedSegments) {
    if (joinedSegments.empty()) return std::string();
    return "/" + joinedSegments.substr(0, joinedSegments.size() - 1);
}

std::string randomBase64() {
    unsigned char bytes[RANDOM_BYTES];
    if (RAND_bytes(bytes, RANDOM_BYTES) != 1) throw Poco::Exception("the random generator failed");
    std::ostringstream text;
    Poco::Base64Encoder encoder(text);
    encoder.write(reinterpret_cast<const char*>(bytes), RANDOM_BYTES);
    encoder.close();
    std::fill(bytes, bytes + RANDOM_BYTES, 0);
    return text.str();
}

std::string randomUrlToken() {
    std::string token = randomBase64();
    std::replace(token.begin(), token.end(), '+', '-');
    std::replace(token.begin(), token.end(), '/', '_');
    token.erase(std::remove(token.begin(), token.end(), '='), token.end());
    return token;
}

std::vector<std::string> bridgePathSegments(const std::string& path) {
    // A path that does not begin at the root is taken from it, as a browser
    // resolves a relative reference: a ".." never climbs above the root.
    const bool fromRoot = !path.empty() && (path[0] == '/' || path[0] == '\\');
    const Poco::Path parsed((fromRoot ? path : "/" + path) + "/", Poco::Path::PATH_WINDOWS);
    std::vector<std::string> segments;
    for (int i = 0; i < parsed.depth(); ++i) segments.push_back(parsed[i]);
    return segments;
}

int findWsSegment(const std::vector<std::string>& segments) {
    for (int i = static_cast<int>(segments.size()) - 4; i >= 0; --i)
        if (segments[i] == "ws") return i;
    return -1;
}

int findWsSegment(const std::string& path) { return findWsSegment(bridgePathSegments(path)); }

bool isLoopbackClient(const Poco::Net::IPAddress& host) {
    if (host.isLoopback()) return true;
    if (host.family() == Poco::Net::IPAddress::IPv6 && host.isIPv4Mapped()) {
        const char* bytes = static_cast<const char*>(host.addr());
        return Poco::Net::IPAddress(bytes + 12, 4).isLoopback();
    }
    return false;
}

} // namespace qor

bool JsBridge::startBridgeServer(qor::QorEventThread* eventTarget) {
    if (isDebugEnabled()) logDebug("Starting js-bridge server");
    Poco::Net::ServerSocket socket;
    try {
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false);
        socket.listen(qor::LISTEN_BACKLOG);
    } catch (Poco::Exception& e) {
        logError(name() + ": Can't start js-bridge server: " + e.displayText());
        throw;
    }
    const Poco::UInt16 port = socket.address().port();
    qor::bridgePort = port;

    if (qor::serverThreads == nullptr) qor::serverThreads = new Poco::ThreadPool(2, qor::MAX_SERVER_THREADS);
    // POCO's HTTP server, with connections that also limit the time for the
    // whole request head.
    auto headDeadline = std::make_shared<qor::RequestHeadDeadline>(Poco::Timespan(qor::REQUEST_HEAD_LIMIT_S, 0));
    Poco::Net::HTTPServerParams::Ptr params = qor::newServerParams();
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers = new qor::RequestHandlerFactory(eventTarget, headDeadline);
    auto* server = new Poco::Net::TCPServer(new qor::BridgeConnectionFactory(params, handlers, headDeadline),
                                            *qor::serverThreads, socket, params);
    // Other users' connections are closed in the acceptor and take no thread.
    qor::BridgePeerFilter::Ptr filter = new qor::BridgePeerFilter;
    server->setConnectionFilter(filter);
    delete qor::httpServer;
    // The replaced server's refusals not told yet are told now.
    if (qor::peerFilter) qor::peerFilter->reportRefusals();
    qor::peerFilter = filter;
    qor::httpServer = server;
    server->start();
    componentDebug(LogComponentMask::NET | LogComponentMask::SMGNT,
                   name() + ": Started js-bridge server on local port " + std::to_string(port));
    return true;
}

bool JsBridge::stopBridgeServer() {
    if (isDebugEnabled()) logDebug(name() + ": Shutting down");
    // A connection holds one request (no keep-alive): one in progress ends
    // on its own, within the head's time limit or after its answer. An
    // upgraded socket has left its connection already.
    if (qor::httpServer) qor::httpServer->stop();
    if (qor::peerFilter) qor::peerFilter->reportRefusals();
    return true;
}
