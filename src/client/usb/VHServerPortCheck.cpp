#include "VHServerPortCheck.h"

#include "ClientSettings.h"
#include "ProtocolKeys.h"
#include "UsbControlMessages.h"
#include "VHLog.h"

#include <Poco/Exception.h>

#include <mutex>

namespace {

const char* const daemonPortKey = "VHSvrPort";

std::mutex mismatchLock;
int mismatchPort = 0;  // the daemon's port that the warning is about
std::string mismatchText;

} // namespace

void checkVHServerPort(const QorMessage& status) {
    if (!status.hasMember(daemonPortKey)) return;
    int daemonPort = 0;
    try {
        daemonPort = status.getInt(daemonPortKey);
    } catch (const Poco::Exception&) {
        return;
    }
    const int clientPort = clientVirtualHereServerPort.get();
    std::lock_guard<std::mutex> guard(mismatchLock);
    if (daemonPort == clientPort) {
        mismatchPort = 0;
        mismatchText.clear();
        return;
    }
    if (daemonPort == mismatchPort) return;
    mismatchPort = daemonPort;
    mismatchText = "The USB service vhproxy asks the USB server at port " + std::to_string(daemonPort) +
                   ", but this client's USB server listens at port " + std::to_string(clientPort) +
                   " (Client.VirtualHere.ServerPort).  Set the same port, or install the service again with "
                   "this one: run the client with --vhProxy=uninstall, then with --vhProxy=install";
    vhWarning(mismatchText);
}

std::string vhServerPortMismatch() {
    std::lock_guard<std::mutex> guard(mismatchLock);
    return mismatchText;
}

void explainVHServerDown(QorMessage& reply) {
    try {
        if (reply.isNullMember(QOR_MSG_VH_ERR_CODE) || reply.getInt(QOR_MSG_VH_ERR_CODE) != VHReplyCode::ServerNotRunning)
            return;
    } catch (const Poco::Exception&) {
        return;
    }
    const std::string text = vhServerPortMismatch();
    if (!text.empty()) reply.setMember(QOR_MSG_VH_ERR_MSG, text);
}
