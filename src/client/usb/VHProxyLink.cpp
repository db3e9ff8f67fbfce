#include "VHProxyLink.h"

#include "VHLog.h"
#include "VHProxyReachability.h"
#include "VHServerPortCheck.h"

#include "QorMessage.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <new>

namespace {

const std::string supportLogName = "vhProxySupport";

std::string lastErrorText() { return windowsErrorText(static_cast<unsigned int>(errno)); }

void closeSocket(Poco::Net::StreamSocket& socket) {
    try {
        socket.shutdown();
    } catch (const Poco::Exception&) {
    }
    try {
        socket.close();
    } catch (const Poco::Exception&) {
    }
}

// Receives exactly size bytes before the deadline; the count received so
// far is in received. False when the peer closed the connection first;
// a time-out raises Poco::TimeoutException.
bool receiveExactly(Poco::Net::StreamSocket& socket, char* buffer, int size, int& received, std::int64_t deadline) {
    received = 0;
    while (received < size) {
        const std::int64_t left = deadline - monotonicMillis();
        if (left <= 0) throw Poco::TimeoutException();
        socket.setReceiveTimeout(Poco::Timespan(left * 1000));
        const int n = socket.receiveBytes(buffer + received, size - received);
        if (n <= 0) return false;
        received += n;
    }
    return true;
}

// A reply the client can read: a JSON object.
bool isJsonObject(const std::string& text) {
    try {
        Poco::JSON::Parser parser;
        return parser.parse(text).type() == typeid(Poco::JSON::Object::Ptr);
    } catch (const Poco::Exception&) {
        return false;
    }
}

std::string excerpt(const std::string& text) { return text.size() <= 200 ? text : text.substr(0, 200) + "..."; }

} // namespace

std::string requiredVHProxyVersion() { return "14.0.0"; }

namespace {

thread_local int threadLinkTimeout = 0;

} // namespace

int threadLinkTimeoutMs() {
    return threadLinkTimeout > 0 && threadLinkTimeout < vhProxyLinkTimeoutMs ? threadLinkTimeout
                                                                              : vhProxyLinkTimeoutMs;
}

void setThreadLinkTimeoutMs(int timeoutMs) { threadLinkTimeout = timeoutMs; }

bool sendProxyMessage(std::string text, Poco::Net::StreamSocket& socket, int timeoutMs) {
    const std::int32_t length = static_cast<std::int32_t>(text.size());
    const std::uint32_t value = static_cast<std::uint32_t>(length);
    const unsigned char header[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                     static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    bool sent = false;
    try {
        socket.setSendTimeout(Poco::Timespan(static_cast<long>(timeoutMs) * 1000));
        if (socket.sendBytes(header, 4, MSG_NOSIGNAL) != 4) {
            vhError("Can't send frame to server");
        } else {
            int done = 0;
            while (done < length) {
                const int n = socket.sendBytes(text.data() + done, length - done, MSG_NOSIGNAL);
                if (n <= 0) {
                    vhError("Can't send full frame to server, only " + std::to_string(done) + " of " +
                            std::to_string(length) + " bytes sent");
                    break;
                }
                done += n;
            }
            sent = done == length;
        }
    } catch (const Poco::Exception& e) {
        vhError("Can't send frame to server, " + e.displayText());
    }
    if (!sent) closeSocket(socket);
    return sent;
}

namespace {

// One frame in before the deadline; timeoutMs is the bound the caller set.
std::string receiveUntil(Poco::Net::StreamSocket& socket, std::int64_t deadline, int timeoutMs) {
    std::string text;
    bool received = false;
    try {
        unsigned char header[4];
        int count = 0;
        if (!receiveExactly(socket, reinterpret_cast<char*>(header), 4, count, deadline)) {
            vhError("Can't read message size, only " + std::to_string(count) + " bytes read");
        } else {
            const std::int32_t length = static_cast<std::int32_t>(
                static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
                static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24);
            std::unique_ptr<char[]> buffer;
            if (length >= 0 && length <= vhProxyMaxFrameLength)
                buffer.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
            if (!buffer) {
                vhError("Can't allocate buffer of " + std::to_string(length) + " bytes");
            } else if (!receiveExactly(socket, buffer.get(), length, count, deadline)) {
                vhError("Received only " + std::to_string(count) + " bytes of message, should be " +
                        std::to_string(length) + ", err " + lastErrorText());
            } else {
                buffer[static_cast<std::size_t>(length)] = '\0';
                text = buffer.get();
                received = true;
            }
        }
    } catch (const Poco::TimeoutException&) {
        vhError("No reply from " + vhProxyProgramName() + " within " + std::to_string(timeoutMs) + " ms");
    } catch (const Poco::Exception& e) {
        vhError("Can't read message, " + e.displayText());
    }
    if (!received) {
        vhError("Failed to receive message " + lastErrorText());
        closeSocket(socket);
    }
    return text;
}

} // namespace

std::string receiveProxyMessage(Poco::Net::StreamSocket& socket, int timeoutMs) {
    return receiveUntil(socket, monotonicMillis() + timeoutMs, timeoutMs);
}

bool vhProxyRequest(std::string request, std::string& reply, bool reportErrors, int timeoutMs) {
    reply.clear();
    Poco::Net::StreamSocket socket;
    try {
        socket.connect(Poco::Net::SocketAddress(vhProxyHost, vhProxyPort),
                       Poco::Timespan(static_cast<long>(vhProxyConnectTimeoutMs) * 1000));
    } catch (const Poco::Exception&) {
        const std::string text = "Can't connect locally to server (" + std::string(vhProxyHost) + ":" +
                                 std::to_string(vhProxyPort) + ") vhproxy not started ?";
        // Said once while the daemon stays away.
        if (vhProxyReachability.notAnswering() && reportErrors)
            vhError(text);
        else
            vhDebug(text);
        return false;
    }
    if (!isTrustedVHProxyListener(socket)) {
        closeSocket(socket);
        return false;
    }
    try {
        const std::int64_t deadline = monotonicMillis() + timeoutMs;
        if (!sendProxyMessage(request, socket, timeoutMs)) return false;
        reply = receiveUntil(socket, deadline, timeoutMs);
    } catch (const Poco::Exception& e) {
        // Both catch their own; whatever still escapes is no reply.
        vhError("Exchange with " + vhProxyProgramName() + " failed, " + e.displayText());
        reply.clear();
    }
    if (reply.empty()) {
        vhProxyReachability.notAnswering();
        return false;
    }
    if (!isJsonObject(reply)) {
        vhError("Reply of " + vhProxyProgramName() + " is not a JSON object: '" + excerpt(reply) + "'");
        reply.clear();
        closeSocket(socket);
        vhProxyReachability.notAnswering();
        return false;
    }
    closeSocket(socket);
    std::string message;
    std::string group;
    if (isVHProxyRefusal(reply, &message, &group)) {
        vhProxyReachability.refused(message, group);
        return false;
    }
    vhProxyReachability.answered();
    return true;
}

bool isVHProxyRefusal(const std::string& reply, std::string* message, std::string* group) {
    if (reply.empty()) return false;
    try {
        Poco::JSON::Parser parser;
        const Poco::Dynamic::Var parsed = parser.parse(reply);
        if (parsed.type() != typeid(Poco::JSON::Object::Ptr)) return false;
        const Poco::JSON::Object::Ptr object = parsed.extract<Poco::JSON::Object::Ptr>();
        auto text = [&object](const char* key) {
            return object->has(key) && !object->isNull(key) ? object->get(key).convert<std::string>() : std::string();
        };
        if (!object->has("VHErrType") || !object->has("VHErrCode") || object->isNull("VHErrType") ||
            object->isNull("VHErrCode") || object->get("VHErrType").convert<int>() != vhProxyRefusalType ||
            object->get("VHErrCode").convert<int>() != vhProxyRefusalCode)
            return false;
        if (message != nullptr) *message = text("VHErrMsg");
        if (group != nullptr) *group = text("VHAllowGroup");
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool checkVHProxyVersion(bool* serverRunning, bool* serverService, bool* versionFits, bool* refused) {
    std::string reply;
    const bool answered = vhProxyRequest(QorMessage(328).toJson(), reply, false);
    if (refused != nullptr) *refused = false;
    if (!answered && isVHProxyRefusal(reply)) {
        // It runs and answers, but tells this user nothing of itself.
        vhDebug("vhproxy refuses this user");
        if (serverRunning != nullptr) *serverRunning = false;
        if (serverService != nullptr) *serverService = false;
        if (versionFits != nullptr) *versionFits = false;
        if (refused != nullptr) *refused = true;
        return true;
    }
    if (!answered) {
        vhDebug("vhproxy is not running");
        return false;
    }
    vhDebug("Received " + reply);
    const QorMessage status(reply);
    checkVHServerPort(status);
    // A member that is not a boolean counts as false.
    auto flag = [&status](const char* key) {
        if (!status.hasMember(key)) return false;
        try {
            return status.getBool(key);
        } catch (const Poco::Exception&) {
            return false;
        }
    };
    if (serverRunning != nullptr) *serverRunning = flag("VHSvrRunning");
    if (serverService != nullptr) *serverService = flag("VHSvrService");
    if (versionFits != nullptr) {
        const std::string required = requiredVHProxyVersion();
        std::string version;
        bool known = status.hasMember("VHProxyVersion");
        if (known) {
            try {
                version = status.getMember("VHProxyVersion").convert<std::string>();
            } catch (const Poco::Exception&) {
                known = false;
            }
        }
        if (known && version == required) {
            *versionFits = true;
        } else {
            vhWarning("Incompatible vhproxy daemon found.  Running version: " +
                      (known ? "'" + version + "'" : std::string("unknown")) + ".  Required version: '" + required +
                      "'");
            *versionFits = false;
        }
    }
    return true;
}

bool probeVHProxy(bool* versionFits, bool* refused) {
    const VHProxyState before = vhProxyReachability.state();
    if (checkVHProxyVersion(nullptr, nullptr, versionFits, refused)) return true;
    // Said once while the daemon stays away; a port that another user's
    // program holds the link has said already.
    const std::string text = supportLogName + ": Can't reach " + vhProxyProgramName();
    const VHProxyState now = vhProxyReachability.state();
    if (before != now && now != VHProxyState::PortHeld)
        vhError(text);
    else
        vhDebug(text);
    return false;
}
