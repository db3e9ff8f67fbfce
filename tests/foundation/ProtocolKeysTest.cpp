#include "ProtocolKeys.h"
#include "QorMessage.h"

#include <gtest/gtest.h>

#include <string>

// The members the client reads or writes: their texts are the wire format.
TEST(ProtocolKeys, UsedKeyTexts) {
    struct Case {
        const char* constant;
        const char* text;
    } cases[] = {
        {QOR_MSG_TYPE, "type"},
        {QOR_MSG_SCREEN_ID, "session"},
        // CLNT_KEY
        {QOR_KEY_CODE, "C"},
        {QOR_KEY_EVENT, "Evt"},
        {QOR_KEY_KEY, "K"},
        {QOR_KEY_UTF16, "KU16"},
        {QOR_KEY_MODIFIERS, "Mods"},
        {QOR_KEY_OS, "OS"},
        // CLNT_STATS, CLNT_ACK_STAT
        {QOR_CLNT_STATS_BACKLOG, "CSBlg"},
        {QOR_CLNT_STATS_FRAME_NO, "CSFno"},
        {QOR_CLNT_STATS_FRAMES_PER_INTERVAL, "CSFpInt"},
        {QOR_CLNT_STATS_DECODE_AVG, "CSDas"},
        {QOR_CLNT_STATS_DECODE_MAX, "CSDms"},
        {QOR_CLNT_STATS_DECODE_STDDEV, "CSDss"},
        {QOR_CLNT_STATS_FRAME_SIZE_AVG, "CSFSa"},
        {QOR_CLNT_STATS_FRAME_SIZE_MAX, "CSFSm"},
        {QOR_CLNT_STATS_FRAME_SIZE_STDDEV, "CSFSs"},
        {QOR_CLNT_STATS_SVR_FRAME_NO, "CSSvrFno"},
        // USB forwarding
        {QOR_MSG_VH_DEVICE_LIST, "VHDevList"},
        {QOR_MSG_VH_DEV_ADDRESS, "VHDevAddress"},
        {QOR_MSG_VH_DEV_ENABLED, "VHDevEnabled"},
        {QOR_MSG_VH_DEV_PATH, "VHDevPath"},
        {QOR_MSG_VH_DEV_PRETTY_NAME, "VHDevPrettyName"},
        {QOR_MSG_VH_DEV_PRODUCT_ID, "VHDevProductId"},
        {QOR_MSG_VH_DEV_STATE, "VHDevState"},
        {QOR_MSG_VH_DEV_VENDOR_ID, "VHDevVendorId"},
        {QOR_MSG_VH_ERR_CODE, "VHErrCode"},
        {QOR_MSG_VH_ERR_MSG, "VHErrMsg"},
        {QOR_MSG_VH_ERR_TYPE, "VHErrType"},
        {QOR_MSG_VH_SVR_RUNNING, "VHSvrRunning"},
        {QOR_MSG_VH_SVR_SERVICE, "VHSvrService"},
        {QOR_MSG_VH_SVR_NAME, "VHSvrName"},
        {QOR_MSG_VH_PROXY_VERSION, "VHProxyVersion"},
        // MU_SVR_KBM_CTRL, NATIVE_CLIENT_FEATURES
        {QOR_MU_SVR_KBM_CTRL_VAL, "KBMCtrlVal"},
        {QOR_NATIVE_CLIENT_FEATURES, "NativeClientFeatures"},
        // SVR_CLNT_ID
        {QOR_CLNT_ID_NET_PROT_VER, "NetProtVer"},
        {QOR_CLNT_ID_IS_HOST, "ClntIsHost"},
        {QOR_CLNT_ID_CLIENT_ID, "ClntID"},
        {QOR_CLNT_ID_SVR_BUILD_OS, "ClntSvrBldOS"},
        {QOR_CLNT_ID_SVR_OS, "ClntSvrOS"},
        {QOR_CLNT_ID_SVR_VERSION, "SvrVer"},
        {QOR_SVR_VIDEO_PAUSED, "Paused"},
        {QOR_CLNT_ID_NETPROT, "NETPROT"},
        {QOR_CLNT_ID_SRVVER, "SRVVER"},
        // SVR_SERVER_PARAM
        {QOR_SVR_PARAM_ALLOWED_USBDEVS, "SrvAllowedUSBDevs"},
        {QOR_SVR_PARAM_FEATURES, "SvrPFeatures"},
        {QOR_SVR_PARAM_INPUT_CONTROL, "SvrPKBM"},
        {QOR_SVR_PARAM_LOCALCURSOR, "SvrPLCrs"},
        {QOR_SVR_PARAM_NUM_SCREENS, "SvrPNumScrs"},
        {QOR_SVR_PARAM_SHOW_ALL_USBDEVS, "SrvShowAllUSBDevs"},
        // SVR_STAT_REQUEST
        {QOR_SVR_STAT_REQUEST_BPI, "StatBPI"},
        {QOR_SVR_STAT_REQUEST_CLIENT_COUNT, "StatClCnt"},
        {QOR_SVR_STAT_REQUEST_CURR_FPI, "StatCFrmPI"},
        {QOR_SVR_STAT_REQUEST_FPI, "StatFrmPI"},
        {QOR_SVR_STAT_REQUEST_ONLY_ACK, "StatOnlyAck"},
        {QOR_SVR_STAT_REQUEST_SUPP_FPI, "StatSFrmPI"},
        {QOR_SVR_STAT_REQUEST_FRNO, "StatSvrFrNo"},
        // SVR_VS_PARAM
        {QOR_SVR_VS_PARAM_CONFIG_NO, "SrvVSCnfNo"},
        {QOR_SVR_VS_PARAM_FRAMERATE, "SrvVSFr"},
        {QOR_SVR_VS_PARAM_HEIGHT, "SrvVSHgt"},
        {QOR_SVR_VS_PARAM_QUALITY, "SrvVSQual"},
        {QOR_SVR_VS_PARAM_SERVER_HEIGHT, "SrvVSOHgt"},
        {QOR_SVR_VS_PARAM_SERVER_WIDTH, "SrvVSOWth"},
        {QOR_SVR_VS_PARAM_WIDTH, "SrvVSWth"},
        {QOR_VCONF, "VConf"},
        {QOR_VCONF_LIST, "VConfList"},
        // SVR_WARNING
        {QOR_SVR_WARNING_CODE, "WarnCode"},
        {QOR_SVR_WARNING_DISPLAY_TIME, "WarnDispTime"},
        {QOR_SVR_WARNING_MSG, "WarnMsg"},
        {QOR_SVR_WARNING_SET, "WarnSet"},
        // TUN_CTRL
        {QOR_TUN_CMD, "TunnelCmd"},
        {QOR_TUN_ID, "TunnelId"},
        {QOR_TUN_TYPE, "TunnelSetupType"},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.constant, c.text);
}

// A text that two families share has a constant in each: same text, two objects.
TEST(ProtocolKeys, SharedTextsHaveOneConstantPerFamily) {
    struct Case {
        const char* first;
        const char* second;
        const char* text;
    } cases[] = {
        {QOR_KEY_EVENT, QOR_MOUSE_EVENT, "Evt"},
        {QOR_KEY_MODIFIERS, QOR_MOUSE_MODIFIERS, "Mods"},
        {QOR_SVR_PARAM_TUNNEL_PORT, QOR_TUN_PORT, "TunnelPort"},
        {QOR_SVR_PARAM_TUNNEL_TYPE, QOR_TUN_TYPE, "TunnelSetupType"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.first, c.text);
        EXPECT_STREQ(c.second, c.text);
        EXPECT_NE(static_cast<const void*>(c.first), static_cast<const void*>(c.second)) << c.text;
    }
    // A key event and a mouse event therefore name the member alike.
    QorMessage key(2);
    key.setMember(QOR_KEY_EVENT, QOR_KEY_EVENT_KEYDOWN);
    EXPECT_EQ(key.getString(QOR_MOUSE_EVENT), "keydown");
}

TEST(ProtocolKeys, MessagesUseTheTypeConstant) {
    QorMessage message(90);
    EXPECT_TRUE(message.hasMember(QOR_MSG_TYPE));
    EXPECT_EQ(message.toJson(), std::string("{\"") + QOR_MSG_TYPE + "\":90}");
}
