// Replies of the daemon vhproxy as the client reads them over the link:
// in a network namespace of its own this harness listens on the daemon's
// port (as root, so the client trusts it) and answers the client's status
// request with the bytes of the input, the frame's length included, then
// closes. The client's whole status check runs: connect, trust check,
// request, reply frame, JSON check and the reading of the status members.
// Whatever a listener answers, the client must neither crash nor hang.
#include "FuzzSupport.h"
#include "VHProxyLink.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <thread>

namespace {

Poco::Net::ServerSocket* listener = nullptr;

// The daemon's side of one exchange: takes the request frame, answers with
// the reply bytes and closes.
void answer(const std::string& reply) {
    try {
        if (!listener->poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ))
            fuzz::fail("the client did not connect to the daemon's port");
        Poco::Net::StreamSocket peer = listener->acceptConnection();
        peer.setReceiveTimeout(Poco::Timespan(5, 0));
        char header[4];
        int got = 0;
        while (got < 4) {
            const int n = peer.receiveBytes(header + got, 4 - got);
            if (n <= 0) return;
            got += n;
        }
        const std::uint32_t length = static_cast<unsigned char>(header[0]) |
                                     static_cast<unsigned char>(header[1]) << 8 |
                                     static_cast<unsigned char>(header[2]) << 16 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(header[3])) << 24;
        std::string request(length, '\0');
        for (std::uint32_t done = 0; done < length;) {
            const int n = peer.receiveBytes(&request[done], static_cast<int>(length - done));
            if (n <= 0) return;
            done += static_cast<std::uint32_t>(n);
        }
        for (std::size_t done = 0; done < reply.size();)
            done += static_cast<std::size_t>(peer.sendBytes(reply.data() + done, static_cast<int>(reply.size() - done)));
        peer.shutdownSend();
    } catch (const Poco::Exception&) {
        // The client gave up first (it refused the reply and closed).
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useOwnNetwork();
    fuzz::discardLogs("trace");
    listener = new Poco::Net::ServerSocket;
    listener->bind(Poco::Net::SocketAddress(vhProxyHost, vhProxyPort), true, false);
    listener->listen(8);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::thread daemon(answer, std::string(reinterpret_cast<const char*>(data), size));
    bool running = false;
    bool service = false;
    bool versionFits = false;
    checkVHProxyVersion(&running, &service, &versionFits);
    daemon.join();
    return 0;
}
