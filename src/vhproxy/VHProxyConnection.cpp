#include "VHProxyConnection.h"

#include "VHProxyDaemon.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <sys/socket.h>

#include <cstdint>

std::string replyFrame(const std::string& text) {
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    return frame + text;
}

VHProxyConnection::VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon,
                                     std::string request, unsigned int userId)
    : Poco::Net::TCPServerConnection(socket), daemon_(daemon), request_(std::move(request)), userId_(userId) {}

void VHProxyConnection::run() {
    Poco::Logger& logger = Poco::Logger::get("vhproxy");
    try {
        const std::string reply = daemon_.handleRequest(request_, userId_);
        if (logger.debug()) logger.debug("Request " + request_ + " answered " + reply);
        writeFrame(reply);
        socket().shutdown();
    } catch (const Poco::Exception& e) {
        logger.warning("Connection failed: " + e.displayText());
    }
}

bool VHProxyConnection::writeFrame(const std::string& text) {
    const std::string frame = replyFrame(text);
    socket().setSendTimeout(Poco::Timespan(VHProxyDaemon::requestTimeoutMs * 1000L));
    std::size_t done = 0;
    while (done < frame.size()) {
        const int n = socket().sendBytes(frame.data() + done, static_cast<int>(frame.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
