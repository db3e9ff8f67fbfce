#include "MessageTypeNames.h"

#include <algorithm>
#include <iterator>

namespace {

struct MessageTypeName {
    int type;
    const char* name;
};

// Sorted by type.
const MessageTypeName messageTypeNames[] = {
    {-1, "NONE"},
    {0, "CLNT_HEARTBEAT"},
    {1, "CLNT_MOUSE"},
    {2, "CLNT_KEY"},
    {3, "CLNT_FOCUS"},
    {4, "CLNT_BLUR"},
    {5, "CLNT_CTRLALTDEL"},
    {11, "CLNT_INFO"},
    {12, "CLNT_VIDEO_SETUP"},
    {14, "CLNT_START_VS"},
    {15, "CLNT_STOP_VS"},
    {16, "CLNT_STATS"},
    {22, "CLNT_ACK_STAT"},
    {30, "CLNT_RESYNC"},
    {41, "MU_CLNT_CREATE_INVITE"},
    {42, "MU_CLNT_REMOVE_INVITE"},
    {43, "MU_CLNT_REMOVE_ALL_INVITES"},
    {44, "MU_CLNT_CONFIRM_INVITE"},
    {51, "MU_CLNT_KBM_CTRL"},
    {52, "MU_CLNT_DISCONNECT_CLIENT"},
    {53, "MU_CLNT_DISCONNECT_GUESTS"},
    {61, "MU_CLNT_PAUSE_GUESTS"},
    {63, "MU_CLNT_START_GUESTS"},
    {70, "SVR_CLNT_PING"},
    {88, "CLNT_PARAM_CHANGE"},
    {89, "CLNT_SIGNOUT"},
    {90, "CLNT_CLOSE"},
    {100, "SVR_CLNT_ID"},
    {101, "SVR_SERVER_PARAM"},
    {102, "SVR_VS_PARAM"},
    {103, "SVR_SERVER_INFO"},
    {104, "SVR_KB_LAYOUT_CHANGE"},
    {105, "CLNT_PASTE"},
    {106, "CLNT_COPY_REQ"},
    {108, "SVR_WARNING"},
    {109, "SVR_ERROR"},
    {115, "SVR_VIDEOWS_CONNECTED"},
    {121, "SVR_LOCALCURSOR"},
    {122, "SVR_STAT_REQUEST"},
    {140, "MU_SVR_ERROR"},
    {141, "MU_SVR_CREATE_INVITE"},
    {144, "MU_SVR_CONFIRM_INVITE"},
    {154, "MU_SVR_CLNT_STATUS"},
    {156, "MU_SVR_KBM_CTRL"},
    {161, "MU_SVR_VIDEO_PAUSE"},
    {165, "MU_SVR_VIDEO_PAUSE_STATE"},
    {170, "MU_SVR_GUEST_SIGNIN"},
    {190, "SVR_AS_STATUS"},
    {200, "CLNT_AUDIO_SETUP"},
    {201, "CLNT_START_AS"},
    {202, "CLNT_STOP_AS"},
    {205, "SVR_PASTE_ACK"},
    {206, "SVR_COPY_DATA"},
    {207, "SVR_COPY_ERROR"},
    {215, "SVR_AUDIOWS_CONNECTED"},
    {300, "TUN_CTRL"},
    {322, "VH_SERVER_EVENT"},
    {324, "VH_LIST_DEVICES"},
    {325, "VH_DEVICE_LIST"},
    {326, "VH_CONNECT_DEVICE"},
    {327, "VH_DISCONNECT_DEVICE"},
    {328, "VH_PROXY_STATUS_REQUEST"},
    {330, "VH_CLIENT_FORCE_BIND_REQUEST"},
    {331, "VH_PROXY_STATUS_TUNNEL_DISCONNECTED"},
    {332, "VH_DEVICE_CONNECTED"},
    {333, "VH_DEVICE_DISCONNECTED"},
    {334, "VH_PROXY_STATUS_TUNNEL_CONNECTED"},
    {960, "NATIVE_CLIENT_FEATURES"},
    {1201, "HTTP_SERVERINFO"},
    {4000, "NATIVE_VS_RESET"},
};

} // namespace

std::string messageTypeName(int type) {
    const MessageTypeName* end = std::end(messageTypeNames);
    const MessageTypeName* found = std::lower_bound(
        std::begin(messageTypeNames), end, type,
        [](const MessageTypeName& entry, int wanted) { return entry.type < wanted; });
    if (found == end || found->type != type) return "TYPE_NOT_MAPPED";
    return found->name;
}
