#include "UsbServerClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <utility>

UsbServerClient::UsbServerClient(int port, int timeoutMs, ListenerCheck listenerCheck)
    : port_(port), timeoutMs_(timeoutMs), listenerCheck_(std::move(listenerCheck)) {}

bool UsbServerClient::request(const std::string& line, std::string& reply, std::string& reason) const {
    if (line.find_first_of("\r\n") != std::string::npos) {
        reason = "a request is one line";
        return false;
    }
    try {
        const Poco::Timespan timeout(0, timeoutMs_ * 1000);
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port_)), timeout);
        if (listenerCheck_ && !listenerCheck_(socket, reason)) return false;
        socket.setReceiveTimeout(timeout);
        socket.setSendTimeout(timeout);
        const std::string request = line + "\nQUIT\n";
        for (std::size_t sent = 0; sent < request.size();) {
            const int count = socket.sendBytes(request.data() + sent, static_cast<int>(request.size() - sent));
            if (count <= 0) throw Poco::IOException("the server stopped reading");
            sent += static_cast<std::size_t>(count);
        }
        std::string text;
        char chunk[4096];
        while (text.find('\n') == std::string::npos) {
            const int count = socket.receiveBytes(chunk, sizeof chunk);
            if (count <= 0) throw Poco::IOException("the server closed the connection");
            text.append(chunk, static_cast<std::size_t>(count));
        }
        reply = text.substr(0, text.find('\n'));
        return true;
    } catch (const Poco::TimeoutException&) {
        reason = "no answer from the USB server on 127.0.0.1:" + std::to_string(port_);
    } catch (const Poco::Exception& e) {
        reason = "USB server on 127.0.0.1:" + std::to_string(port_) + ": " + e.displayText();
    }
    return false;
}

bool UsbServerClient::okReply(const std::string& reply, std::string& rest) {
    if (reply == "OK") {
        rest.clear();
        return true;
    }
    if (reply.compare(0, 3, "OK ") != 0) return false;
    rest = reply.substr(3);
    return true;
}
