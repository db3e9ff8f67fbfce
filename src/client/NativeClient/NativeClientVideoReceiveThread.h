// Reads a screen's video WebSocket: each binary frame is one access unit,
// handed under the session's decoder lock to the session's decoder.
#pragma once

#include "NativeClientBaseReceiveThread.h"

namespace qor {

class NativeClientSession;

class NativeClientVideoReceiveThread : public NativeClientBaseReceiveThread {
public:
    explicit NativeClientVideoReceiveThread(NativeClientSession* session);
    ~NativeClientVideoReceiveThread() override;

protected:
    void onFrame(Buffer& buffer, int length) override;
    void onClosed() override;
    void onExit() override;

private:
    NativeClientSession* session_;
};

} // namespace qor
