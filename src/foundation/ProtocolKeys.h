// JSON member names of the control protocol and of the USB helper link.
// Every builder and reader of a message names its members through these
// constants. A text that two families share has one constant per family.
// Plain character arrays: usable from any static initialiser.
#pragma once

// Audio
extern const char QOR_AUDIO_BITS_PER_SAMPLE[];
extern const char QOR_AUDIO_BUFFER_TIME[];
extern const char QOR_AUDIO_CHANNELS[];
extern const char QOR_AUDIO_OUTPUT_FORMAT[];
extern const char QOR_AUDIO_SAMPLE_ADJUST[];
extern const char QOR_AUDIO_SAMPLES_PER_FRAME[];
extern const char QOR_AUDIO_SAMPLE_RATE[];
extern const char QOR_AUDIO_START_DELAY[];
extern const char QOR_AUDIO_THRESHOLD[];

// Client information
extern const char QOR_CI_BROWSER[];
extern const char QOR_CI_BROWSER_E[];
extern const char QOR_CI_BROWSER_P[];
extern const char QOR_CI_BROWSER_PT[];
extern const char QOR_CI_BROWSER_PV[];
extern const char QOR_CI_BROWSER_STR[];
extern const char QOR_CI_BROWSER_VER[];
extern const char QOR_CI_HEIGHT[];
extern const char QOR_CI_WIDTH[];

// Key events (CLNT_KEY); "keydown" and "keyup" are values of QOR_KEY_EVENT
extern const char QOR_KEY_CODE[];
extern const char QOR_KEY_EVENT_KEYDOWN[];
extern const char QOR_KEY_EVENT[];
extern const char QOR_KEY_KEY[];
extern const char QOR_KEY_UTF16[];
extern const char QOR_KEY_MODIFIERS[];
extern const char QOR_KEY_EVENT_KEYUP[];

// Mouse events; the event names are values of QOR_MOUSE_EVENT
extern const char QOR_MOUSE_BUTTON[];
extern const char QOR_MOUSE_EVENT_CLICK[];
extern const char QOR_MOUSE_EVENT_DBLCLICK[];
extern const char QOR_MOUSE_EVENT_MOUSEDOWN[];
extern const char QOR_MOUSE_DELTA_Y[];
extern const char QOR_MOUSE_EVENT[];
extern const char QOR_MOUSE_MODIFIERS[];
extern const char QOR_MOUSE_EVENT_MOUSEMOVE[];
extern const char QOR_MOUSE_EVENT_MOUSEUP[];
extern const char QOR_MOUSE_EVENT_WHEEL[];
extern const char QOR_MOUSE_X[];
extern const char QOR_MOUSE_Y[];

// Key events, continued
extern const char QOR_KEY_OS[];

// Channel settings and paste
extern const char QOR_CH_BITRATE[];
extern const char QOR_CH_FRAMERATE[];
extern const char QOR_CH_HEIGHT[];
extern const char QOR_CH_QUALITY[];
extern const char QOR_CH_WIDTH[];
extern const char QOR_PASTE_VALUE[];

// Client statistics (CLNT_STATS, CLNT_ACK_STAT)
extern const char QOR_CLNT_STATS_BACKLOG[];
extern const char QOR_CLNT_STATS_FRAME_NO[];
extern const char QOR_CLNT_STATS_FRAMES_PER_INTERVAL[];
extern const char QOR_CLNT_STATS_DECODE_AVG[];
extern const char QOR_CLNT_STATS_DECODE_MAX[];
extern const char QOR_CLNT_STATS_DECODE_STDDEV[];
extern const char QOR_CLNT_STATS_FRAME_SIZE_AVG[];
extern const char QOR_CLNT_STATS_FRAME_SIZE_MAX[];
extern const char QOR_CLNT_STATS_FRAME_SIZE_STDDEV[];
extern const char QOR_CLNT_STATS_SVR_FRAME_NO[];

// Client version
extern const char QOR_CLNT_VERSION[];

// Server information
extern const char QOR_SVR_INFO_CONFIG_FILE[];
extern const char QOR_SVR_INFO_INSTANCE[];
extern const char QOR_SVR_INFO_LOG_DIR[];
extern const char QOR_SVR_INFO_OS[];
extern const char QOR_SVR_INFO_PID[];
extern const char QOR_SVR_INFO_START_TIME[];
extern const char QOR_SVR_INFO_VERSION[];

// Common to all messages
extern const char QOR_MSG_NONE[];
extern const char QOR_MSG_SCREEN_ID[];
extern const char QOR_MSG_TYPE[];

// USB forwarding
extern const char QOR_MSG_VH_CLIENT_IP[];
extern const char QOR_MSG_VH_CONNECTION_ID[];
extern const char QOR_MSG_VH_DEVICE_LIST[];
extern const char QOR_MSG_VH_DEV_ADDRESS[];
extern const char QOR_MSG_VH_DEV_ENABLED[];
extern const char QOR_MSG_VH_DEV_PATH[];
extern const char QOR_MSG_VH_DEV_PRETTY_NAME[];
extern const char QOR_MSG_VH_DEV_PRODUCT_ID[];
extern const char QOR_MSG_VH_DEV_STATE[];
extern const char QOR_MSG_VH_DEV_VENDOR_ID[];
extern const char QOR_MSG_VH_ERR_CODE[];
extern const char QOR_MSG_VH_ERR_MSG[];
extern const char QOR_MSG_VH_ERR_TYPE[];
extern const char QOR_MSG_VH_REASON[];
extern const char QOR_MSG_VH_CLNT_CONNECTED[];
extern const char QOR_MSG_VH_SVR_RUNNING[];
extern const char QOR_MSG_VH_SVR_SERVICE[];
extern const char QOR_MSG_VH_SVR_EVENT[];
extern const char QOR_MSG_VH_SVR_NAME[];
extern const char QOR_MSG_VH_PROXY_VERSION[];

// Invitations and multi-user control, from the client
extern const char QOR_MU_CLNT_INVITE_NAME[];
extern const char QOR_MU_CLNT_INVITE_UUID[];
extern const char QOR_MU_CLNT_INVITE_VAL[];
extern const char QOR_MU_CLNT_INVITE_NUM[];
extern const char QOR_MU_CLNT_DISCONNECT_ID[];
extern const char QOR_MU_CLNT_CTRL_CID[];
extern const char QOR_MU_CLNT_CTRL_VAL[];
extern const char QOR_MU_CLNT_INVITE_REMOVE_UUID[];

// Connected-client list
extern const char QOR_CS_ID[];
extern const char QOR_CS_IP[];
extern const char QOR_CS_STATS_LIST[];
extern const char QOR_CS_NAME[];
extern const char QOR_CS_PORT[];
extern const char QOR_CS_STATUS[];
extern const char QOR_CS_CURR_BITRATE[];
extern const char QOR_CS_FRAMERATE[];
extern const char QOR_CS_CTRL[];
extern const char QOR_CS_HAS_VIDEO[];
extern const char QOR_CS_HOST[];
extern const char QOR_CS_PING_TIME[];
extern const char QOR_CS_SUPP_FRAMERATE[];
extern const char QOR_CS_SVR_FRAMERATE[];
extern const char QOR_CS_TARGET_BITRATE[];

// Keyboard and mouse control (MU_SVR_KBM_CTRL)
extern const char QOR_MU_SVR_KBM_CTRL_VAL[];

// Client features (NATIVE_CLIENT_FEATURES)
extern const char QOR_NATIVE_CLIENT_FEATURES[];

// Client identity (SVR_CLNT_ID)
extern const char QOR_CLNT_ID_NET_PROT_VER[];
extern const char QOR_CLNT_ID_IS_HOST[];
extern const char QOR_CLNT_ID_CLIENT_ID[];
extern const char QOR_CLNT_ID_LANGUAGE[];
extern const char QOR_CLNT_ID_TIMESTAMP[];
extern const char QOR_CLNT_ID_SVR_BUILD_OS[];
extern const char QOR_CLNT_ID_SVR_OS[];

// Copy data
extern const char QOR_SVR_COPY_DATA[];
extern const char QOR_SVR_COPY_ENCODING[];
extern const char QOR_SVR_COPY_ERROR_TEXT[];
extern const char QOR_SVR_COPY_NUM[];
extern const char QOR_SVR_COPY_TOTAL[];
extern const char QOR_SVR_COPY_SIZE[];

// Downloads
extern const char QOR_DOWNLOAD_CLIPBOARD[];
extern const char QOR_DOWNLOAD_NAME[];
extern const char QOR_DOWNLOAD_SIZE[];
extern const char QOR_DOWNLOAD_KEY[];

// Errors
extern const char QOR_ERROR_MSG[];
extern const char QOR_ERROR_CODE[];
extern const char QOR_ERROR_TIMEOUT[];

// Local cursor
extern const char QOR_NULL_CURSOR[];
extern const char QOR_LOCALCURSOR_URL[];

// Server parameters (SVR_SERVER_PARAM)
extern const char QOR_SVR_PARAM_ALLOWED_USBDEVS[];
extern const char QOR_SVR_PARAM_AUDIO_ON[];
extern const char QOR_SVR_PARAM_AUTH_ON[];
extern const char QOR_SVR_PARAM_DOWNLOAD_PATH[];
extern const char QOR_SVR_PARAM_FEATURES[];
extern const char QOR_SVR_PARAM_INPUT_CONTROL[];
extern const char QOR_SVR_PARAM_KEYBOARD[];
extern const char QOR_SVR_PARAM_LOCALCURSOR[];
extern const char QOR_SVR_PARAM_NUM_DEVICES[];
extern const char QOR_SVR_PARAM_NUM_SCREENS[];
extern const char QOR_SVR_PARAM_SCREENS[];
extern const char QOR_SVR_PARAM_OS[];
extern const char QOR_SVR_PARAM_SHOW_ALL_USBDEVS[];
extern const char QOR_SVR_PARAM_STATUS[];
extern const char QOR_SVR_PARAM_TUNNEL_PORT[];
extern const char QOR_SVR_PARAM_TUNNEL_TYPE[];
extern const char QOR_SVR_PARAM_UPLOAD_LIMIT[];
extern const char QOR_SVR_PARAM_WARNINGS_DISABLED[];
extern const char QOR_SVR_PARAM_STATE[];

// Screens
extern const char QOR_SCREEN_ENC_HEIGHT[];
extern const char QOR_SCREEN_ENC_WIDTH[];
extern const char QOR_SCREEN_GPU[];
extern const char QOR_SCREEN_GPU_PORT[];
extern const char QOR_SCREEN_HEIGHT[];
extern const char QOR_SCREEN_ID[];
extern const char QOR_SCREEN_VIRTUAL[];
extern const char QOR_SVR_VIRTUAL_SCREENS[];
extern const char QOR_SCREEN_WIDTH[];
extern const char QOR_SCREEN_X_OFFSET[];
extern const char QOR_SCREEN_Y_OFFSET[];

// Next frame
extern const char QOR_NEXT_FRAME[];

// Client identity (SVR_CLNT_ID), continued
extern const char QOR_CLNT_ID_SVR_VERSION[];
extern const char QOR_SVR_VIDEO_PAUSED[];
extern const char QOR_CLNT_ID_NETPROT[];
extern const char QOR_CLNT_ID_SRVVER[];

// Audio, continued
extern const char QOR_AUDIO_PAUSED[];
extern const char QOR_SVR_AUDIO_STATUS[];
extern const char QOR_SVR_AUDIO_MSG[];

// Invitations and multi-user control, from the server
extern const char QOR_MU_SVR_INVITE_NAME[];
extern const char QOR_MU_SVR_INVITE_UUID_CONF[];
extern const char QOR_MU_SVR_INVITE_UUID[];
extern const char QOR_MU_SVR_ERROR_TEXT[];
extern const char QOR_MU_SVR_CONFIRM_ACCEPT[];
extern const char QOR_MU_SVR_CONFIRM_NAME[];

// Statistics request (SVR_STAT_REQUEST)
extern const char QOR_SVR_STAT_REQUEST_BPI_AUDIO[];
extern const char QOR_SVR_STAT_REQUEST_BPI[];
extern const char QOR_SVR_STAT_REQUEST_CLIENT_COUNT[];
extern const char QOR_SVR_STAT_REQUEST_CURR_FPI[];
extern const char QOR_SVR_STAT_REQUEST_CURR_PING[];
extern const char QOR_SVR_STAT_REQUEST_FPI[];
extern const char QOR_SVR_STAT_REQUEST_MIN_PING[];
extern const char QOR_SVR_STAT_REQUEST_ONLY_ACK[];
extern const char QOR_SVR_STAT_REQUEST_SUPP_FPI[];
extern const char QOR_SVR_STAT_REQUEST_FRNO[];

// Video stream parameters (SVR_VS_PARAM)
extern const char QOR_SVR_VS_PARAM_CONFIG_NO[];
extern const char QOR_SVR_VS_PARAM_FRAMERATE[];
extern const char QOR_SVR_VS_PARAM_HEIGHT[];
extern const char QOR_SVR_VS_PARAM_QUALITY[];
extern const char QOR_SVR_VS_PARAM_SERVER_HEIGHT[];
extern const char QOR_SVR_VS_PARAM_SERVER_WIDTH[];
extern const char QOR_SVR_VS_PARAM_WIDTH[];

// Warnings (SVR_WARNING)
extern const char QOR_SVR_WARNING_CODE[];
extern const char QOR_SVR_WARNING_DISPLAY_TIME[];
extern const char QOR_SVR_WARNING_MSG[];
extern const char QOR_SVR_WARNING_SET[];

// Tunnel control (TUN_CTRL)
extern const char QOR_TUN_CMD[];
extern const char QOR_TUN_ID[];
extern const char QOR_TUN_PORT[];
extern const char QOR_TUN_TYPE[];

// Video configuration (SVR_VS_PARAM, NATIVE_CLIENT_FEATURES)
extern const char QOR_VCONF[];
extern const char QOR_VCONF_LIST[];

// Video quality settings
extern const char QOR_VQS_AVG_BITRATE[];
extern const char QOR_VQS_ENC_HEIGHT[];
extern const char QOR_VQS_ENC_WIDTH[];
extern const char QOR_VQS_FRAMERATE[];
extern const char QOR_VQS_PEAK_BITRATE[];
extern const char QOR_VQS_QUALITY[];
extern const char QOR_VQS_SVR_HEIGHT[];
extern const char QOR_VQS_SVR_WIDTH[];

// Video stream settings
extern const char QOR_VSS_BITS[];
extern const char QOR_VSS_CC[];
extern const char QOR_VSS_ENCODING[];
