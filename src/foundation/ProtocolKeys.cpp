#include "ProtocolKeys.h"

// Audio
const char QOR_AUDIO_BITS_PER_SAMPLE[] = "AudioBitsPerSample";
const char QOR_AUDIO_BUFFER_TIME[] = "AudioBufferTime";
const char QOR_AUDIO_CHANNELS[] = "AudioChannels";
const char QOR_AUDIO_OUTPUT_FORMAT[] = "AudioOutputFormat";
const char QOR_AUDIO_SAMPLE_ADJUST[] = "AudioSampleAdjust";
const char QOR_AUDIO_SAMPLES_PER_FRAME[] = "AudioSamplesPerFrame";
const char QOR_AUDIO_SAMPLE_RATE[] = "AudioSampleRate";
const char QOR_AUDIO_START_DELAY[] = "AudioStartDelay";
const char QOR_AUDIO_THRESHOLD[] = "AudioThreshold";

// Client information
const char QOR_CI_BROWSER[] = "CIBrowser";
const char QOR_CI_BROWSER_E[] = "CIBrowserE";
const char QOR_CI_BROWSER_P[] = "CIBrowserP";
const char QOR_CI_BROWSER_PT[] = "CIBrowserPT";
const char QOR_CI_BROWSER_PV[] = "CIBrowserPV";
const char QOR_CI_BROWSER_STR[] = "CIBrowserStr";
const char QOR_CI_BROWSER_VER[] = "CIBrowserVer";
const char QOR_CI_HEIGHT[] = "CIHgt";
const char QOR_CI_WIDTH[] = "CIWdh";

// Key events (CLNT_KEY); "keydown" and "keyup" are values of QOR_KEY_EVENT
const char QOR_KEY_CODE[] = "C";
const char QOR_KEY_EVENT_KEYDOWN[] = "keydown";
const char QOR_KEY_EVENT[] = "Evt";
const char QOR_KEY_KEY[] = "K";
const char QOR_KEY_UTF16[] = "KU16";
const char QOR_KEY_MODIFIERS[] = "Mods";
const char QOR_KEY_EVENT_KEYUP[] = "keyup";

// Mouse events; the event names are values of QOR_MOUSE_EVENT
const char QOR_MOUSE_BUTTON[] = "Btn";
const char QOR_MOUSE_EVENT_CLICK[] = "click";
const char QOR_MOUSE_EVENT_DBLCLICK[] = "dblclick";
const char QOR_MOUSE_EVENT_MOUSEDOWN[] = "mousedown";
const char QOR_MOUSE_DELTA_Y[] = "DY";
const char QOR_MOUSE_EVENT[] = "Evt";
const char QOR_MOUSE_MODIFIERS[] = "Mods";
const char QOR_MOUSE_EVENT_MOUSEMOVE[] = "mousemove";
const char QOR_MOUSE_EVENT_MOUSEUP[] = "mouseup";
const char QOR_MOUSE_EVENT_WHEEL[] = "wheel";
const char QOR_MOUSE_X[] = "X";
const char QOR_MOUSE_Y[] = "Y";

// Key events, continued
const char QOR_KEY_OS[] = "OS";

// Channel settings and paste
const char QOR_CH_BITRATE[] = "ChBr";
const char QOR_CH_FRAMERATE[] = "ChFr";
const char QOR_CH_HEIGHT[] = "ChHgt";
const char QOR_CH_QUALITY[] = "ChQt";
const char QOR_CH_WIDTH[] = "ChWdh";
const char QOR_PASTE_VALUE[] = "PasteVal";

// Client statistics (CLNT_STATS, CLNT_ACK_STAT)
const char QOR_CLNT_STATS_BACKLOG[] = "CSBlg";
const char QOR_CLNT_STATS_FRAME_NO[] = "CSFno";
const char QOR_CLNT_STATS_FRAMES_PER_INTERVAL[] = "CSFpInt";
const char QOR_CLNT_STATS_DECODE_AVG[] = "CSDas";
const char QOR_CLNT_STATS_DECODE_MAX[] = "CSDms";
const char QOR_CLNT_STATS_DECODE_STDDEV[] = "CSDss";
const char QOR_CLNT_STATS_FRAME_SIZE_AVG[] = "CSFSa";
const char QOR_CLNT_STATS_FRAME_SIZE_MAX[] = "CSFSm";
const char QOR_CLNT_STATS_FRAME_SIZE_STDDEV[] = "CSFSs";
const char QOR_CLNT_STATS_SVR_FRAME_NO[] = "CSSvrFno";

// Client version
const char QOR_CLNT_VERSION[] = "ClntVer";

// Server information
const char QOR_SVR_INFO_CONFIG_FILE[] = "SvrInfoConfigFile";
const char QOR_SVR_INFO_INSTANCE[] = "SvrInfoInstance";
const char QOR_SVR_INFO_LOG_DIR[] = "SvrInfoLogDir";
const char QOR_SVR_INFO_OS[] = "SvrInfoOS";
const char QOR_SVR_INFO_PID[] = "SvrInfoPID";
const char QOR_SVR_INFO_START_TIME[] = "SvrInfoStartTime";
const char QOR_SVR_INFO_VERSION[] = "SvrInfoVersion";

// Common to all messages
const char QOR_MSG_NONE[] = "None";
const char QOR_MSG_SCREEN_ID[] = "session";
const char QOR_MSG_TYPE[] = "type";

// USB forwarding
const char QOR_MSG_VH_CLIENT_IP[] = "VHClientIP";
const char QOR_MSG_VH_CONNECTION_ID[] = "VHConnectionID";
const char QOR_MSG_VH_DEVICE_LIST[] = "VHDevList";
const char QOR_MSG_VH_DEV_ADDRESS[] = "VHDevAddress";
const char QOR_MSG_VH_DEV_ENABLED[] = "VHDevEnabled";
const char QOR_MSG_VH_DEV_PATH[] = "VHDevPath";
const char QOR_MSG_VH_DEV_PRETTY_NAME[] = "VHDevPrettyName";
const char QOR_MSG_VH_DEV_PRODUCT_ID[] = "VHDevProductId";
const char QOR_MSG_VH_DEV_STATE[] = "VHDevState";
const char QOR_MSG_VH_DEV_VENDOR_ID[] = "VHDevVendorId";
const char QOR_MSG_VH_ERR_CODE[] = "VHErrCode";
const char QOR_MSG_VH_ERR_MSG[] = "VHErrMsg";
const char QOR_MSG_VH_ERR_TYPE[] = "VHErrType";
const char QOR_MSG_VH_REASON[] = "VHReason";
const char QOR_MSG_VH_CLNT_CONNECTED[] = "VHClntConnected";
const char QOR_MSG_VH_SVR_RUNNING[] = "VHSvrRunning";
const char QOR_MSG_VH_SVR_SERVICE[] = "VHSvrService";
const char QOR_MSG_VH_SVR_EVENT[] = "VHSvrEvent";
const char QOR_MSG_VH_SVR_NAME[] = "VHSvrName";
const char QOR_MSG_VH_PROXY_VERSION[] = "VHProxyVersion";

// Invitations and multi-user control, from the client
const char QOR_MU_CLNT_INVITE_NAME[] = "InvCltName";
const char QOR_MU_CLNT_INVITE_UUID[] = "InvCltUUID";
const char QOR_MU_CLNT_INVITE_VAL[] = "InvCltVal";
const char QOR_MU_CLNT_INVITE_NUM[] = "InvCltNum";
const char QOR_MU_CLNT_DISCONNECT_ID[] = "DiscId";
const char QOR_MU_CLNT_CTRL_CID[] = "MUCtlCID";
const char QOR_MU_CLNT_CTRL_VAL[] = "MUCtlVal";
const char QOR_MU_CLNT_INVITE_REMOVE_UUID[] = "InvCltRemoveUUID";

// Connected-client list
const char QOR_CS_ID[] = "CSID";
const char QOR_CS_IP[] = "CSIP";
const char QOR_CS_STATS_LIST[] = "CStatsList";
const char QOR_CS_NAME[] = "CSName";
const char QOR_CS_PORT[] = "CSPort";
const char QOR_CS_STATUS[] = "CSStatus";
const char QOR_CS_CURR_BITRATE[] = "CSCurrBr";
const char QOR_CS_FRAMERATE[] = "CSFr";
const char QOR_CS_CTRL[] = "CSCtrl";
const char QOR_CS_HAS_VIDEO[] = "CSHasVd";
const char QOR_CS_HOST[] = "CSHost";
const char QOR_CS_PING_TIME[] = "CSPingTime";
const char QOR_CS_SUPP_FRAMERATE[] = "CSSuppFr";
const char QOR_CS_SVR_FRAMERATE[] = "CSSvrFr";
const char QOR_CS_TARGET_BITRATE[] = "CSTargetBr";

// Keyboard and mouse control (MU_SVR_KBM_CTRL)
const char QOR_MU_SVR_KBM_CTRL_VAL[] = "KBMCtrlVal";

// Client features (NATIVE_CLIENT_FEATURES)
const char QOR_NATIVE_CLIENT_FEATURES[] = "NativeClientFeatures";

// Client identity (SVR_CLNT_ID)
const char QOR_CLNT_ID_NET_PROT_VER[] = "NetProtVer";
const char QOR_CLNT_ID_IS_HOST[] = "ClntIsHost";
const char QOR_CLNT_ID_CLIENT_ID[] = "ClntID";
const char QOR_CLNT_ID_LANGUAGE[] = "ClntLang";
const char QOR_CLNT_ID_TIMESTAMP[] = "TS";
const char QOR_CLNT_ID_SVR_BUILD_OS[] = "ClntSvrBldOS";
const char QOR_CLNT_ID_SVR_OS[] = "ClntSvrOS";

// Copy data
const char QOR_SVR_COPY_DATA[] = "SvrCpyData";
const char QOR_SVR_COPY_ENCODING[] = "SvrCpyEnc";
const char QOR_SVR_COPY_ERROR_TEXT[] = "SvrCpyErrorText";
const char QOR_SVR_COPY_NUM[] = "SvrCpyNum";
const char QOR_SVR_COPY_TOTAL[] = "SvrCpyTotal";
const char QOR_SVR_COPY_SIZE[] = "SvrCpySize";

// Downloads
const char QOR_DOWNLOAD_CLIPBOARD[] = "DWLDClpbrd";
const char QOR_DOWNLOAD_NAME[] = "DWLDName";
const char QOR_DOWNLOAD_SIZE[] = "DWLDSize";
const char QOR_DOWNLOAD_KEY[] = "DWLDKey";

// Errors
const char QOR_ERROR_MSG[] = "ErrMsg";
const char QOR_ERROR_CODE[] = "ErrCode";
const char QOR_ERROR_TIMEOUT[] = "ErrTimeout";

// Local cursor
const char QOR_NULL_CURSOR[] = "null.cur";
const char QOR_LOCALCURSOR_URL[] = "LCUrl";

// Server parameters (SVR_SERVER_PARAM)
const char QOR_SVR_PARAM_ALLOWED_USBDEVS[] = "SrvAllowedUSBDevs";
const char QOR_SVR_PARAM_AUDIO_ON[] = "SvrPAudioOn";
const char QOR_SVR_PARAM_AUTH_ON[] = "SvrAuthOn";
const char QOR_SVR_PARAM_DOWNLOAD_PATH[] = "SrvDwnldPath";
const char QOR_SVR_PARAM_FEATURES[] = "SvrPFeatures";
const char QOR_SVR_PARAM_INPUT_CONTROL[] = "SvrPKBM";
const char QOR_SVR_PARAM_KEYBOARD[] = "SvrPKB";
const char QOR_SVR_PARAM_LOCALCURSOR[] = "SvrPLCrs";
const char QOR_SVR_PARAM_NUM_DEVICES[] = "SvrPNumDevs";
const char QOR_SVR_PARAM_NUM_SCREENS[] = "SvrPNumScrs";
const char QOR_SVR_PARAM_SCREENS[] = "SvrScreens";
const char QOR_SVR_PARAM_OS[] = "SvrOs";
const char QOR_SVR_PARAM_SHOW_ALL_USBDEVS[] = "SrvShowAllUSBDevs";
const char QOR_SVR_PARAM_STATUS[] = "SvrStatus";
const char QOR_SVR_PARAM_TUNNEL_PORT[] = "TunnelPort";
const char QOR_SVR_PARAM_TUNNEL_TYPE[] = "TunnelSetupType";
const char QOR_SVR_PARAM_UPLOAD_LIMIT[] = "SvrUploadLimit";
const char QOR_SVR_PARAM_WARNINGS_DISABLED[] = "SrvWarningsDisabled";
const char QOR_SVR_PARAM_STATE[] = "SrvState";

// Screens
const char QOR_SCREEN_ENC_HEIGHT[] = "ScrEncHgt";
const char QOR_SCREEN_ENC_WIDTH[] = "ScrEncWdh";
const char QOR_SCREEN_GPU[] = "ScrGpu";
const char QOR_SCREEN_GPU_PORT[] = "ScrGpuPort";
const char QOR_SCREEN_HEIGHT[] = "ScrHgt";
const char QOR_SCREEN_ID[] = "ScrId";
const char QOR_SCREEN_VIRTUAL[] = "ScrVirt";
const char QOR_SVR_VIRTUAL_SCREENS[] = "SvrVirtScreens";
const char QOR_SCREEN_WIDTH[] = "ScrWdh";
const char QOR_SCREEN_X_OFFSET[] = "ScrXOffSet";
const char QOR_SCREEN_Y_OFFSET[] = "ScrYOffSet";

// Next frame
const char QOR_NEXT_FRAME[] = "NextFr";

// Client identity (SVR_CLNT_ID), continued
const char QOR_CLNT_ID_SVR_VERSION[] = "SvrVer";
const char QOR_SVR_VIDEO_PAUSED[] = "Paused";
const char QOR_CLNT_ID_NETPROT[] = "NETPROT";
const char QOR_CLNT_ID_SRVVER[] = "SRVVER";

// Audio, continued
const char QOR_AUDIO_PAUSED[] = "AudioPaused";
const char QOR_SVR_AUDIO_STATUS[] = "SvrAudioStatus";
const char QOR_SVR_AUDIO_MSG[] = "SrvAudioMsg";

// Invitations and multi-user control, from the server
const char QOR_MU_SVR_INVITE_NAME[] = "InvSvrName";
const char QOR_MU_SVR_INVITE_UUID_CONF[] = "InvSvrUUIDConf";
const char QOR_MU_SVR_INVITE_UUID[] = "InvSvrUUID";
const char QOR_MU_SVR_ERROR_TEXT[] = "MuErrText";
const char QOR_MU_SVR_CONFIRM_ACCEPT[] = "CAccpt";
const char QOR_MU_SVR_CONFIRM_NAME[] = "CName";

// Statistics request (SVR_STAT_REQUEST)
const char QOR_SVR_STAT_REQUEST_BPI_AUDIO[] = "StatBPIAudio";
const char QOR_SVR_STAT_REQUEST_BPI[] = "StatBPI";
const char QOR_SVR_STAT_REQUEST_CLIENT_COUNT[] = "StatClCnt";
const char QOR_SVR_STAT_REQUEST_CURR_FPI[] = "StatCFrmPI";
const char QOR_SVR_STAT_REQUEST_CURR_PING[] = "StatCurrPing";
const char QOR_SVR_STAT_REQUEST_FPI[] = "StatFrmPI";
const char QOR_SVR_STAT_REQUEST_MIN_PING[] = "StatMinPing";
const char QOR_SVR_STAT_REQUEST_ONLY_ACK[] = "StatOnlyAck";
const char QOR_SVR_STAT_REQUEST_SUPP_FPI[] = "StatSFrmPI";
const char QOR_SVR_STAT_REQUEST_FRNO[] = "StatSvrFrNo";

// Video stream parameters (SVR_VS_PARAM)
const char QOR_SVR_VS_PARAM_CONFIG_NO[] = "SrvVSCnfNo";
const char QOR_SVR_VS_PARAM_FRAMERATE[] = "SrvVSFr";
const char QOR_SVR_VS_PARAM_HEIGHT[] = "SrvVSHgt";
const char QOR_SVR_VS_PARAM_QUALITY[] = "SrvVSQual";
const char QOR_SVR_VS_PARAM_SERVER_HEIGHT[] = "SrvVSOHgt";
const char QOR_SVR_VS_PARAM_SERVER_WIDTH[] = "SrvVSOWth";
const char QOR_SVR_VS_PARAM_WIDTH[] = "SrvVSWth";

// Warnings (SVR_WARNING)
const char QOR_SVR_WARNING_CODE[] = "WarnCode";
const char QOR_SVR_WARNING_DISPLAY_TIME[] = "WarnDispTime";
const char QOR_SVR_WARNING_MSG[] = "WarnMsg";
const char QOR_SVR_WARNING_SET[] = "WarnSet";

// Tunnel control (TUN_CTRL)
const char QOR_TUN_CMD[] = "TunnelCmd";
const char QOR_TUN_ID[] = "TunnelId";
const char QOR_TUN_PORT[] = "TunnelPort";
const char QOR_TUN_TYPE[] = "TunnelSetupType";

// Video configuration (SVR_VS_PARAM, NATIVE_CLIENT_FEATURES)
const char QOR_VCONF[] = "VConf";
const char QOR_VCONF_LIST[] = "VConfList";

// Video quality settings
const char QOR_VQS_AVG_BITRATE[] = "VQSAbr";
const char QOR_VQS_ENC_HEIGHT[] = "VQSEncH";
const char QOR_VQS_ENC_WIDTH[] = "VQSEncW";
const char QOR_VQS_FRAMERATE[] = "VQSFr";
const char QOR_VQS_PEAK_BITRATE[] = "VQSPbr";
const char QOR_VQS_QUALITY[] = "VQSQual";
const char QOR_VQS_SVR_HEIGHT[] = "VQSSvrH";
const char QOR_VQS_SVR_WIDTH[] = "VQSSvrW";

// Video stream settings
const char QOR_VSS_BITS[] = "VSSBits";
const char QOR_VSS_CC[] = "VSSCc";
const char QOR_VSS_ENCODING[] = "VSSEnc";
