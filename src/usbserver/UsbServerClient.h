// A client of the USB server's line protocol (README.md): one connection
// per request, one request line, one reply line, with time-outs, so that a
// silent or absent server never holds the caller.
#pragma once

#include <functional>
#include <string>

namespace Poco {
namespace Net {
class StreamSocket;
}
} // namespace Poco

class UsbServerClient {
public:
    // Looks at the listener that a connection reached before anything is
    // sent on it; false with the reason keeps the request from it.
    using ListenerCheck = std::function<bool(const Poco::Net::StreamSocket& connection, std::string& reason)>;

    explicit UsbServerClient(int port, int timeoutMs = 1000, ListenerCheck listenerCheck = nullptr);

    // Sends the line and reads the reply line; false with the reason when
    // the server cannot be reached or does not answer in time.
    bool request(const std::string& line, std::string& reply, std::string& reason) const;
    // True for a reply "OK" or "OK <rest>", with the rest.
    static bool okReply(const std::string& reply, std::string& rest);

    int port() const { return port_; }

private:
    int port_;
    int timeoutMs_;
    ListenerCheck listenerCheck_;
};
