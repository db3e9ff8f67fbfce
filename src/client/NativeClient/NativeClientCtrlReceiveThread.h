// Reads the page's bridge WebSocket: each text frame is a control message
// for the server proxy.
#pragma once

#include "NativeClientBaseReceiveThread.h"

namespace qor {

class NativeClientServerProxy;

class NativeClientCtrlReceiveThread : public NativeClientBaseReceiveThread {
public:
    NativeClientCtrlReceiveThread(NativeClientServerProxy* proxy, const std::string& nameSuffix);
    ~NativeClientCtrlReceiveThread() override;

protected:
    void onFrame(Buffer& buffer, int length) override;
    void onClosed() override;
    void onExit() override;

private:
    NativeClientServerProxy* proxy_;
};

} // namespace qor
