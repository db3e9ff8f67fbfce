#include "NativeClientBaseEvent.h"

namespace qor {

std::string NativeClientBaseEvent::codeName(int code) {
    switch (code) {
    case VIDEO_FRAME: return "VideoFrame";
    case DECODED_VIDEO_FRAME: return "DecodedVideoFrameEvent";
    case DECODER_OUT_OF_SYNC: return "DecoderOutOfSyncEvent";
    case CTRL_FRAME: return "CtrlFrame";
    case ERROR_DETECTED: return "ErrorDetected";
    case SOCKET_FAILED: return "SocketFailed";
    case WEB_SOCKET_CONNECTED: return "WebSocketConnected";
    case SERVER_DISCONNECT_MSG: return "ServerDisconnectMsg";
    case SCREEN_SESSION_FINISHED: return "ScreenSessionFinished";
    case SERVER_SESSION_FINISHED: return "ServerSessionFinished";
    case SCREEN_CLOSED: return "ScreenClosedEvent";
    default: return "\"MISSING EVENT NAME, code \" = " + std::to_string(code);
    }
}

std::string NativeClientBaseEvent::name() const { return codeName(code); }

} // namespace qor
