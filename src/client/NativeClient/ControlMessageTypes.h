// Type numbers of the control messages the client handles or builds (those
// of USB forwarding are VHMessageType, beside the USB code).
#pragma once

namespace qor {
namespace MessageType {

enum : int {
    CLNT_KEY = 2,
    CLNT_VIDEO_SETUP = 12,
    CLNT_START_VS = 14,
    CLNT_STATS = 16,
    CLNT_ACK_STAT = 22,
    CLNT_RESYNC = 30,
    CLNT_CLOSE = 90,
    SVR_CLNT_ID = 100,
    SVR_SERVER_PARAM = 101,
    SVR_VS_PARAM = 102,
    SVR_WARNING = 108,
    SVR_ERROR = 109,
    SVR_STAT_REQUEST = 122,
    MU_SVR_KBM_CTRL = 156,
    TUN_CTRL = 300,
    NATIVE_CLIENT_FEATURES = 960,
};

} // namespace MessageType
} // namespace qor
