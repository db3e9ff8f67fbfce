#include "QorTunnelClientListener.h"

#include "Logging.h"
#include "QorTunnelClientInterface.h"
#include "QorTunnelInterface.h"
#include "TunnelConnection.h"
#include "TunnelLog.h"
#include "TunnelPlatform.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>

namespace qor {

std::atomic<std::int32_t> tunnelConnectionCounter{0};

namespace {

constexpr long PAUSE_STEP_MS = 25;

} // namespace

QorTunnelClientListener::QorTunnelClientListener(const std::string& name, QorTunnelClientInterface* owner, int port)
    : QorThread(false), port_(port), name_(name), owner_(owner) {
    setName(name_);
    const std::string prefix = name_ + ": ";
    try {
        serverSocket_.reset(new Poco::Net::ServerSocket);
    } catch (const Poco::Exception& e) {
        tunnelLog(TunnelLogLevel::ERROR, prefix + "Create of socket failed '" + e.displayText() + "'");
        return;
    }
    try {
        // Address reuse for a quick restart, but no port sharing: another
        // local process must not listen on our port beside us.
        serverSocket_->bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port_)), true, false);
    } catch (const Poco::Exception& e) {
        closeSocket();
        tunnelLog(TunnelLogLevel::ERROR, prefix + "Bind of socket failed '" + e.displayText() + "'");
        return;
    }
    serverSocket_->listen(listenBacklog());
    // A connection that goes away between the poll and the accept must not
    // leave the accept waiting.
    serverSocket_->setBlocking(false);
    tunnelDebug(prefix + "Listen socket created at port " + std::to_string(port_));
}

QorTunnelClientListener::~QorTunnelClientListener() {
    tunnelDebug("Shutting down tunnel listener at port " + std::to_string(port_));
    requestStop();
    if (started()) join(-1, false);
    closeSocket();
}

void QorTunnelClientListener::eventLoop() { acceptLoop(); }

void QorTunnelClientListener::acceptLoop() {
    const std::string prefix = name_ + ": ";
    if (!serverSocket_) {
        tunnelDebug(prefix + "Setup error, exiting ...");
        requestStop();
        return;
    }
    Poco::Net::Socket::SocketList read;
    Poco::Net::Socket::SocketList write;
    Poco::Net::Socket::SocketList error;
    while (isRunning()) {
        read.assign(1, *serverSocket_);
        write.clear();
        error.assign(1, *serverSocket_);
        try {
            Poco::Net::Socket::select(read, write, error, Poco::Timespan(QorTunnelInterface::POLL_TIMEOUT_US));
        } catch (const Poco::Exception& e) {
            tunnelLog(TunnelLogLevel::ERROR, prefix + "select socket failed " + windowsErrorText(e.code()));
            // Short of descriptors, the listener waits for some to come free.
            if (isResourceShortage(e.code())) {
                pauseAfterFailure();
                continue;
            }
            requestStop();
            break;
        }
        if (!error.empty()) {
            const std::string reason = lastSystemErrorText();
            closeSocket();
            logFatal(prefix + "Listening on socket failed '" + reason);
            requestStop();
            break;
        }
        if (read.empty()) continue;
        Poco::Net::SocketAddress peer;
        Poco::Net::StreamSocket socket;
        try {
            socket = serverSocket_->acceptConnection(peer);
            socket.setNoDelay(true);
            socket.setBlocking(false);
            fixSendBuffer(socket, QorTunnelInterface::LOCAL_SEND_BUFFER);
        } catch (const Poco::Exception& e) {
            // Out of descriptors, or the client gave up already: go on
            // listening once the moment has passed.
            tunnelLog(TunnelLogLevel::ERROR, prefix + "Accepting a connection failed '" + e.displayText() + "'");
            pauseAfterFailure();
            continue;
        }
        const std::int32_t id = tunnelConnectionCounter.fetch_add(1);
        tunnelLog(TunnelLogLevel::INFORMATION,
                  prefix + "New client connected, id " + connectionIdText(id) + ", peer " + peer.toString());
        owner_->scheduleAddConnection(new TunnelConnection(id, name_, socket));
        tunnelDebug(prefix + "New Connection '" + connectionIdText(id) + "'");
    }
    // A listener that stopped must not leave clients waiting in its backlog.
    closeSocket();
}

void QorTunnelClientListener::pauseAfterFailure() {
    for (long waited = 0; waited < QorTunnelInterface::POLL_TIMEOUT_US / 1000 && isRunning(); waited += PAUSE_STEP_MS)
        Poco::Thread::sleep(PAUSE_STEP_MS);
}

void QorTunnelClientListener::closeSocket() {
    if (!serverSocket_) return;
    try {
        serverSocket_->close();
    } catch (const Poco::Exception&) {
    }
    serverSocket_.reset();
}

} // namespace qor
