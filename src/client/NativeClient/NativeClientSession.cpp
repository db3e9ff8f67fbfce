#include "NativeClientSession.h"

#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ControlMessageTypes.h"
#include "Logging.h"
#include "NativeClientDecoder.h"
#include "NativeClientJSONDataFrameEvent.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientServerProxy.h"
#include "NativeClientVideoReceiveThread.h"
#include "ProtocolKeys.h"
#include "ProtocolReading.h"
#include "QorCanvas.h"
#include "QorMessage.h"
#include "QorWebSocket.h"
#include "ServerConnectionValues.h"
#include "StreamStatistics.h"
#include "Utilities.h"
#include "VideoFrame.h"

#include <Poco/Exception.h>

#include <algorithm>

namespace qor {

namespace {

using namespace MessageType;

// Stream size of a parameter message that names none.
constexpr std::int32_t DEFAULT_STREAM_SIZE = 400;

// One optional integer member: false (after the error line) when it is
// present and unreadable; a missing one keeps the default.
bool readOptionalInt(const QorMessage& message, const char* key, const char* symbol, std::int32_t& value,
                     const std::string& missingLine, const char* invalidSymbol = nullptr) {
    if (!message.hasMember(key)) {
        if (isDebugEnabled()) logDebug(missingLine);
        return true;
    }
    try {
        value = message.getInt(key);
        return true;
    } catch (...) {
        logError(invalidValueText(key, invalidSymbol != nullptr ? invalidSymbol : symbol));
        return false;
    }
}

} // namespace

NativeClientSession::NativeClientSession(NativeClientServerProxy* proxy, std::int32_t screenIndex)
    : QorEventThread(false), proxy_(proxy), statistics_(new StreamStatistics) {
    setName(screenCount.load() == 1 ? proxy->name() : proxy->name() + ", display " + std::to_string(screenIndex));
    clientDebugReportInterval.ensureRegistered(2);
}

NativeClientSession::~NativeClientSession() {
    stopEventLoop();
    // A session whose loop never ran may still own parts; the order stays.
    shutdownVideoReceiver();
    QorCanvas* canvas = nullptr;
    {
        ScopedOwnerLock guard(decoderLock_);
        canvas = shutdownDecoder();
    }
    if (canvas != nullptr) disposeCanvas(canvas, true);
    closeVideoSocket();
    delete statistics_;
}

QorEventThread* NativeClientSession::decoderThread() const { return decoder_; }

void NativeClientSession::eventLoop() {
    const int file = CheckpointFile::SCREEN_SESSION;
    const std::string prefix = name() + ": ";
    raisePriority();
    while (isRunning()) {
        checkpoint(__LINE__, file);
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) {
            if (isDebugEnabled()) logDebug(prefix + "Thread read empty message");
            continue;
        }
        if (isTraceEnabled()) logTrace(prefix + "Received event " + event->name());
        switch (event->type()) {
        case NativeClientBaseEvent::CTRL_FRAME: {
            checkpoint(__LINE__, file);
            const QorMessage& message = static_cast<NativeClientJSONDataFrameEvent*>(event.get())->message;
            if (!handleSessionMessage(message) && isDebugEnabled())
                logDebug(prefix + "Error processing message :\"" + (message.isEmpty() ? "" : message.toJson()) + "\"");
            break;
        }
        case NativeClientBaseEvent::SCREEN_SESSION_FINISHED:
            if (isDebugEnabled()) logDebug(prefix + "Session ended");
            requestStop();
            break;
        default:
            logError(prefix + "Unhandled message :\"" + event->name() + "\"");
            break;
        }
    }
    if (isDebugEnabled()) logDebug(prefix + "Exiting");
    checkpoint(__LINE__, file);
    if (videoReceiver_ != nullptr) {
        if (isTraceEnabled()) logTrace(prefix + "Shutting down VideoReceiver");
        shutdownVideoReceiver();
    }
    checkpoint(__LINE__, file);
    QorCanvas* canvas = nullptr;
    {
        ScopedOwnerLock guard(decoderLock_);
        if (decoder_ != nullptr) {
            if (isTraceEnabled()) logTrace(prefix + "Shutting down decoder");
            canvas = shutdownDecoder();
        }
    }
    checkpoint(__LINE__, file);
    if (canvas != nullptr) disposeCanvas(canvas, true);
    checkpoint(__LINE__, file);
    if (isTraceEnabled()) logTrace(prefix + "Shutting down sockets");
    closeVideoSocket();
    checkpoint(__LINE__, file);
    proxy_->postEvent(new NativeClientScreenSessionFinishedEvent(std::string(), streamParams_.screenId));
    if (isDebugEnabled()) logDebug(prefix + "Exited");
}

bool NativeClientSession::handleSessionMessage(const QorMessage& message) {
    const std::string prefix = name() + ": ";
    int type = 0;
    if (!readMessageType(message, type)) return false;
    if (type != SVR_STAT_REQUEST && isDebugEnabled()) logDebug(prefix + "Processing " + message.toJson());
    switch (type) {
    case CLNT_VIDEO_SETUP:
        if (isDebugEnabled()) logDebug(prefix + "Received client setup");
        try {
            streamParams_.screenId = message.getInt(QOR_MSG_SCREEN_ID);
        } catch (...) {
            logError(invalidValueText(QOR_MSG_SCREEN_ID, "QOR_MSG_SCREEN_ID"));
            return false;
        }
        return true;
    case SVR_VS_PARAM:
        return handleVsParam(message);
    case SVR_STAT_REQUEST:
        parseStatRequest(message);
        if (statRequest_.fullStats)
            sendStats(statRequest_.serverFrameNo);
        else
            sendStatAck(statRequest_.serverFrameNo);
        return true;
    default:
        logError(prefix + "Message not handled " + message.toJson());
        return false;
    }
}

bool NativeClientSession::handleVsParam(const QorMessage& message) {
    const std::string prefix = name() + ": ";
    const bool debug = isDebugEnabled();
    if (debug) {
        const std::int32_t frames = statistics_->snapshot().frameCount;
        logDebug(frames != 0 ? prefix + "Received new session parameter at frame " + std::to_string(frames)
                             : prefix + "Received initial session parameter");
    }
    const bool first = streamParams_.configNo == -1;
    // Parsed aside, also the first message: one that fails leaves the
    // session waiting for its first parameters, so that the next good one
    // still starts the video receiver.
    VideoStreamParams later;
    if (first) later.encodingSpec = streamParams_.encodingSpec;
    if (!parseVsParam(message, later)) {
        logError(prefix + "Error parsing VS parameter " + message.toJson());
        return false;
    }
    if (!frameSizeFits(later.width, later.height)) {
        // Pictures carry their own size; an announced one matters only for
        // the first frames, and one that no frame could have is ignored.
        logWarning(prefix + "Ignoring stream size " + std::to_string(later.width) + "x" +
                   std::to_string(later.height) + ", out of range");
        later.width = first ? DEFAULT_STREAM_SIZE : streamParams_.width;
        later.height = first ? DEFAULT_STREAM_SIZE : streamParams_.height;
    }
    if (first) streamParams_ = later;
    bool restart = first;
    if (!first) {
        streamParams_.configNo = later.configNo;
        if (later.width != streamParams_.width || later.height != streamParams_.height) {
            if (debug)
                logDebug(prefix + "Stream size changed " + std::to_string(streamParams_.width) + "x" +
                         std::to_string(streamParams_.height) + " ->  " + std::to_string(later.width) + "x" +
                         std::to_string(later.height));
            streamParams_.width = later.width;
            streamParams_.height = later.height;
            restart = true;
        }
        if (later.encodingSpec != streamParams_.encodingSpec) {
            if (debug)
                logDebug(prefix + "Stream encoding changed '" + formatVideoEncodingSpec(streamParams_.encodingSpec) +
                         "' ->  '" + formatVideoEncodingSpec(later.encodingSpec) + "'");
            streamParams_.encodingSpec = later.encodingSpec;
            restart = true;
        }
        if (later.frameRate != streamParams_.frameRate) {
            if (debug)
                logDebug(prefix + "Stream frame rate changed " + std::to_string(streamParams_.frameRate) + " -> " +
                         std::to_string(later.frameRate));
            streamParams_.frameRate = later.frameRate;
        }
        if (later.quality != streamParams_.quality) {
            if (debug)
                logDebug(prefix + "Stream quality changed " + std::to_string(streamParams_.quality) + " -> " +
                         std::to_string(later.quality));
            streamParams_.quality = later.quality;
        }
        streamParams_.serverWidth = later.serverWidth;
        streamParams_.serverHeight = later.serverHeight;
        if (!restart) {
            if (debug) logDebug(prefix + "Stream parameter do not require reset of decoder");
            sendStartSignal();
            statistics_->reset(streamParams_.frameRate);
            return true;
        }
    } else if (debug) {
        logDebug(prefix + "Received new stream parameter, specs encoding/framerate/quality '" +
                 formatVideoEncodingSpec(streamParams_.encodingSpec) + "'/" + std::to_string(streamParams_.frameRate) +
                 "/" + std::to_string(streamParams_.quality));
    }
    startDecoder();
    if (first) startVideoReceiver();
    sendStartSignal();
    statistics_->reset(streamParams_.frameRate);
    return true;
}

bool NativeClientSession::parseVsParam(const QorMessage& message, VideoStreamParams& record) {
    try {
        record.screenId = message.getInt(QOR_MSG_SCREEN_ID);
    } catch (...) {
        logError(invalidValueText(QOR_MSG_SCREEN_ID, "QOR_MSG_SCREEN_ID"));
        return false;
    }
    record.frameRate = 24;
    record.quality = 21;
    record.configNo = 0;
    record.width = record.height = record.serverWidth = record.serverHeight = DEFAULT_STREAM_SIZE;
    const std::string prefix = name() + ": ";
    struct Field {
        const char* key;
        const char* symbol;
        std::int32_t* value;
    };
    const Field fields[] = {
        {QOR_SVR_VS_PARAM_CONFIG_NO, "QOR_SVR_VS_PARAM_CONFIG_NO", &record.configNo},
        {QOR_SVR_VS_PARAM_FRAMERATE, "QOR_SVR_VS_PARAM_FRAMERATE", &record.frameRate},
        {QOR_SVR_VS_PARAM_QUALITY, "QOR_SVR_VS_PARAM_QUALITY", &record.quality},
        {QOR_SVR_VS_PARAM_WIDTH, "QOR_SVR_VS_PARAM_WIDTH", &record.width},
        {QOR_SVR_VS_PARAM_HEIGHT, "QOR_SVR_VS_PARAM_HEIGHT", &record.height},
        {QOR_SVR_VS_PARAM_SERVER_WIDTH, "QOR_SVR_VS_PARAM_SERVER_WIDTH", &record.serverWidth},
        {QOR_SVR_VS_PARAM_SERVER_HEIGHT, "QOR_SVR_VS_PARAM_SERVER_HEIGHT", &record.serverHeight},
    };
    for (const Field& field : fields) {
        if (!readOptionalInt(message, field.key, field.symbol, *field.value,
                             prefix + field.symbol + " missing in session parameter"))
            return false;
    }
    if (!message.hasMember(QOR_VCONF)) {
        if (isDebugEnabled()) logDebug(prefix + "QOR_VCONF missing in session parameter");
        return true;
    }
    // The parser logs a text it cannot read and leaves the specification
    // as it was; should it raise, the value counts as unreadable.
    try {
        parseVideoEncodingSpec(record.encodingSpec, message.getString(QOR_VCONF));
    } catch (...) {
        logError(invalidValueText(QOR_VCONF, "QOR_VCONF"));
        return false;
    }
    return true;
}

bool NativeClientSession::parseStatRequest(const QorMessage& message) {
    const std::string prefix = name() + ": ";
    statRequest_.serverFrameNo = -1;
    if (!message.hasMember(QOR_MSG_SCREEN_ID)) {
        logCritical(prefix + "QOR_MSG_SCREEN_ID missing in stat request");
        return false;
    }
    try {
        statRequest_.screenId = message.getInt(QOR_MSG_SCREEN_ID);
    } catch (...) {
        logError(invalidValueText(QOR_MSG_SCREEN_ID, "QOR_MSG_SCREEN_ID"));
        return false;
    }
    auto missing = [&](const char* symbol) { return prefix + symbol + " missing in stat request"; };
    if (!readOptionalInt(message, QOR_SVR_STAT_REQUEST_FRNO, "QOR_SVR_STAT_REQUEST_FRNO", statRequest_.serverFrameNo,
                         missing("QOR_SVR_STAT_REQUEST_FRNO"), "QOR_SVR_STAT_REQUEST_SVR_FRNO"))
        return false;
    if (message.hasMember(QOR_SVR_STAT_REQUEST_ONLY_ACK)) {
        try {
            statRequest_.fullStats = !message.getBool(QOR_SVR_STAT_REQUEST_ONLY_ACK);
        } catch (...) {
            logError(invalidValueText(QOR_SVR_STAT_REQUEST_ONLY_ACK, "QOR_SVR_STAT_REQUEST_ONLY_ACK"));
            return false;
        }
    } else if (isDebugEnabled()) {
        logDebug(missing("QOR_SVR_STAT_REQUEST_ONLY_ACK"));
    }
    struct Field {
        const char* key;
        const char* symbol;
        std::int32_t* value;
        std::int32_t initial;
    };
    const Field fields[] = {
        {QOR_SVR_STAT_REQUEST_CLIENT_COUNT, "QOR_SVR_STAT_REQUEST_CLIENT_COUNT", &statRequest_.clientCount, 1},
        {QOR_SVR_STAT_REQUEST_CURR_FPI, "QOR_SVR_STAT_REQUEST_CURR_FPI", &statRequest_.currentFpi, 24},
        {QOR_SVR_STAT_REQUEST_SUPP_FPI, "QOR_SVR_STAT_REQUEST_SUPP_FPI", &statRequest_.supportedFpi, 24},
        {QOR_SVR_STAT_REQUEST_FPI, "QOR_SVR_STAT_REQUEST_FPI", &statRequest_.fpi, 24},
        {QOR_SVR_STAT_REQUEST_BPI, "QOR_SVR_STAT_REQUEST_BPI", &statRequest_.bytesPerInterval, 0},
    };
    for (const Field& field : fields) {
        *field.value = field.initial;
        if (!readOptionalInt(message, field.key, field.symbol, *field.value, missing(field.symbol))) return false;
    }
    return true;
}

bool NativeClientSession::startDecoder() {
    const std::string prefix = name() + ": ";
    const bool debug = isDebugEnabled();
    // Held throughout: the video receive thread waits with its next access
    // unit until the new decoder exists.
    ScopedOwnerLock guard(decoderLock_);
    if (decoder_ != nullptr) {
        if (debug) logDebug(prefix + "Previous decoder still active");
        QorCanvas* canvas = shutdownDecoder();
        if (canvas != nullptr)
            disposeCanvas(canvas, false);
        else
            logWarning(prefix + "Previous decoder without canvas?");
        if (debug) logDebug(prefix + "Previous decoder has been shutdown");
    }
    if (debug) logDebug(prefix + "Starting fresh decoder");
    decoder_ = new NativeDecoder(proxy_, streamParams_.screenId, statistics_, name(), streamParams_.encodingSpec,
                                 streamParams_.width, streamParams_.height);
    decoder_->start(-1);
    return true;
}

QorCanvas* NativeClientSession::shutdownDecoder() {
    if (decoder_ == nullptr) return nullptr;
    const std::string prefix = name() + ": ";
    const bool debug = isDebugEnabled();
    if (debug) logDebug(prefix + "Shutting down encoder " + decoder_->name());
    decoder_->stopEventLoop();
    QorCanvas* canvas = decoder_->takeCanvas();
    if (canvas == nullptr && debug) logDebug(prefix + "No canvas, encoder " + decoder_->name());
    delete decoder_;
    decoder_ = nullptr;
    if (debug) logDebug(prefix + "Shutting down decoder, done");
    return canvas;
}

void NativeClientSession::disposeCanvas(QorCanvas*& canvas, bool final) {
    const std::string prefix = name() + ": ";
    const std::string id = std::to_string(canvas->canvasId());
    if (isDebugEnabled()) logDebug(prefix + "Disposing canvas, id: " + id);
    if (!final) {
        if (isTraceEnabled()) logTrace(prefix + "Adding canvas to cache, id: " + id);
        addCanvas(canvas);
    } else if (screenCount.load() == 1) {
        if (isTraceEnabled()) logTrace(prefix + "Cleaning screen");
        canvas->clearScreen();
        addCanvas(canvas);
    } else {
        if (isTraceEnabled()) logTrace(prefix + "Deleting canvas object, id: " + id);
        canvas->deleteCanvasObject();
    }
    if (isDebugEnabled()) logDebug(prefix + "Done disposing canvas");
    canvas = nullptr;
}

void NativeClientSession::startVideoReceiver() {
    if (videoReceiver_ != nullptr) return;
    videoReceiver_ = new NativeClientVideoReceiveThread(this);
    videoReceiver_->setSocket(videoSocket());
    videoReceiver_->start(-1);
}

void NativeClientSession::shutdownVideoReceiver() {
    if (videoReceiver_ == nullptr) return;
    const std::string prefix = name() + ": ";
    if (isTraceEnabled()) logTrace(prefix + "VideoReceiver found");
    videoReceiver_->stopReceiving();
    delete videoReceiver_;
    videoReceiver_ = nullptr;
    if (isTraceEnabled()) logTrace(prefix + "VideoReceiver shutdown");
}

void NativeClientSession::sendStartSignal() {
    if (isDebugEnabled()) logDebug(name() + ": Sending start signal to server");
    QorMessage start(CLNT_START_VS);
    start.setMember(QOR_MSG_SCREEN_ID, std::int64_t{streamParams_.screenId});
    proxy_->sendCtrl(start.toJson(), "Start VS", true);
}

void NativeClientSession::sendStatAck(std::int32_t frameNo) {
    QorMessage ack(CLNT_ACK_STAT);
    ack.setMember(QOR_MSG_SCREEN_ID, std::int64_t{streamParams_.screenId});
    ack.setMember(QOR_CLNT_STATS_SVR_FRAME_NO, std::int64_t{frameNo});
    proxy_->sendCtrl(ack.toJson(), "Stat Request Ack", true);
}

void NativeClientSession::sendStats(std::int32_t frameNo) {
    const StreamStatistics::Snapshot s = statistics_->snapshot();
    std::int32_t backlog = 0;
    {
        ScopedOwnerLock guard(decoderLock_);
        if (decoder_ != nullptr) backlog = decoder_->queueLength();
    }
    QorMessage stats(CLNT_STATS);
    stats.setMember(QOR_SVR_VS_PARAM_CONFIG_NO, std::int64_t{streamParams_.configNo});
    stats.setMember(QOR_MSG_SCREEN_ID, std::int64_t{streamParams_.screenId});
    stats.setMember(QOR_CLNT_STATS_SVR_FRAME_NO, std::int64_t{frameNo});
    stats.setMember(QOR_CLNT_STATS_FRAME_NO, std::int64_t{s.frameCount});
    stats.setMember(QOR_CLNT_STATS_BACKLOG, std::int64_t{backlog});
    stats.setMember(QOR_CLNT_STATS_DECODE_AVG, doubleToFixed(std::max(s.decodeAverage, s.conversionAverage), 2));
    stats.setMember(QOR_CLNT_STATS_DECODE_STDDEV,
                    doubleToFixed(std::max(s.decodeDeviation, s.conversionDeviation), 2));
    stats.setMember(QOR_CLNT_STATS_DECODE_MAX,
                    doubleToFixed(static_cast<double>(std::max(s.maxDecodeTime, s.maxConversionTime)), 2));
    stats.setMember(QOR_CLNT_STATS_FRAMES_PER_INTERVAL, std::to_string(s.lastIntervalCount));
    stats.setMember(QOR_CLNT_STATS_FRAME_SIZE_MAX, std::to_string(s.maxFrameSize));
    stats.setMember(QOR_CLNT_STATS_FRAME_SIZE_AVG, doubleToFixed(s.frameSizeAverage, 2));
    stats.setMember(QOR_CLNT_STATS_FRAME_SIZE_STDDEV, doubleToFixed(s.frameSizeDeviation, 2));
    proxy_->sendCtrl(stats.toJson(), "Stats", false);
    if (isDebugEnabled()) {
        ++reportCounter_;
        if (StreamStatistics::reportDue(reportCounter_, clientDebugReportInterval.get())) logStatistics(frameNo);
    }
}

void NativeClientSession::logStatistics(std::int32_t frameNo) {
    const StreamStatistics::Snapshot s = statistics_->snapshot();
    std::string line = "Screen #" + std::to_string(streamParams_.screenId) + ": " +
                       std::to_string(s.lastIntervalCount) + " fpi, ";
    if (s.decodeSamples > s.meanWindow || s.conversionSamples > s.meanWindow) {
        if (s.decodeAverage > s.conversionAverage)
            line += doubleToFixed(s.decodeAverage, 2) + "ms avg dec, " + doubleToFixed(s.decodeDeviation, 2) +
                    " std dev, ";
        else
            line += doubleToFixed(s.conversionAverage, 2) + "ms avg rec, " +
                    doubleToFixed(s.conversionDeviation, 2) + " std dev, ";
    }
    line += "frame " + std::to_string(frameNo);
    const std::int64_t behind = std::int64_t{frameNo} - s.frameCount;
    if (behind != 0) line += ", backlog " + std::to_string(behind);
    logDebug(line);
}

void NativeClientSession::closeVideoSocket() {
    QorWebSocket* socket = videoSocket_.exchange(nullptr);
    if (socket == nullptr) return;
    try {
        socket->close(true);
    } catch (const Poco::Exception&) {
    }
    componentDebug(LogComponentMask::NET | LogComponentMask::SMGNT,
                   name() + ": Closed video socket to " + socket->peerAddress());
    delete socket;
}

} // namespace qor
