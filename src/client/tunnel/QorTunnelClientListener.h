// The listener of a tunnel's client side: a thread that accepts connections
// on 127.0.0.1:port, numbers them from one process-wide counter and hands
// each one to its tunnel.
#pragma once

#include "QorThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace Poco {
namespace Net {
class ServerSocket;
}
} // namespace Poco

namespace qor {

class QorTunnelClientInterface;

// The id of the next accepted connection, shared by all listeners of the
// process; the first connection gets 0.
extern std::atomic<std::int32_t> tunnelConnectionCounter;

class QorTunnelClientListener : public QorThread {
public:
    // Creates, binds and opens the listening socket (logged failures leave
    // it without one; an exception from listen() is raised). The owner
    // starts the thread, only when there is a socket.
    QorTunnelClientListener(const std::string& name, QorTunnelClientInterface* owner, int port);
    // Stops and joins the thread, then closes the socket.
    ~QorTunnelClientListener() override;

    bool hasSocket() const { return serverSocket_ != nullptr; }
    int port() const { return port_; }


protected:
    void eventLoop() override;
    void acceptLoop();

private:
    void closeSocket();
    // After a failed accept: one poll period, unless a stop comes first.
    void pauseAfterFailure();

    const int port_;
    std::unique_ptr<Poco::Net::ServerSocket> serverSocket_;
    const std::string name_;
    QorTunnelClientInterface* owner_;
};

} // namespace qor
