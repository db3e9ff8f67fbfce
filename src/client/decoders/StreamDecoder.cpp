#include "StreamDecoder.h"

#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "DecoderLog.h"
#include "I420ToRgb24.h"
#include "StreamDecoderLibAVH264.h"
#include "StreamDecoderOpenH264.h"

#include <algorithm>

std::vector<StreamDecoderRegistration> decoderRegistry;
std::vector<qor::VideoEncodingSpec> supportedEncodings;

namespace qor {

StreamDecoder::StreamDecoder(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec)
    : width(width), height(height), outputColorFormat(outputColorFormat), spec(spec),
      h264Family(spec.isH264Family()) {}

StreamDecoder::~StreamDecoder() {
    decoderTrace(name + ": Getting deleted");
}

VideoFrame* StreamDecoder::allocFrame(int colorFormat) {
    VideoFrame* frame = decodedFrameAllocator.allocate(colorFormat, width, height);
    // The size is only a hint: a picture sizes its frame itself, so a size
    // whose frame cannot be had must not cost every picture.
    if (frame == nullptr) frame = decodedFrameAllocator.allocate(colorFormat, 0, 0);
    return frame;
}

bool StreamDecoder::drain(VideoFrame** /*frame*/) { return false; }

void StreamDecoder::releaseFrame(VideoFrame** frame) {
    decodedFrameAllocator.release(frame);
}

VideoFrame* StreamDecoder::convertToRgb24(const VideoFrame* frame) {
    if (frame == nullptr) return nullptr;
    if (frame->colorFormat() != ColorFormat::YUV420P || frame->plane(0) == nullptr ||
        frame->plane(1) == nullptr || frame->plane(2) == nullptr) {
        decoderCritical(name + ": Can't convert " + colorFormatName(frame->colorFormat(), true) + " to RGB24");
        return nullptr;
    }
    const int w = frame->width();
    const int h = frame->height();
    VideoFrame* rgb = decodedFrameAllocator.allocate(ColorFormat::RGB24, w, h);
    if (rgb == nullptr) {
        decoderCritical(name + ": Out of memory converting to RGB24");
        return nullptr;
    }
    // A chroma line that covers one image row holds half a chroma row.
    const int chromaStride = frame->rowsPerLine(1) >= 2 ? frame->lineSize(1) : 2 * frame->lineSize(1);
    i420ToRgb24(frame->plane(0), frame->plane(1), frame->plane(2), frame->lineSize(0), chromaStride, w, h,
                rgb->plane(0));
    return rgb;
}

int StreamDecoder::configuredPriority(const DecoderSettingsReader& settings, const std::string& name,
                                      int defaultPriority) {
    const std::string enabledKey = "Client.Decoder." + name + ".enabled";
    const std::string priorityKey = "Client.Decoder." + name + ".priority";
    const bool enabledDefault = defaultPriority != -1 && defaultPriority != -2;
    const bool enabled = settings.readBool ? settings.readBool(enabledKey, enabledDefault) : enabledDefault;
    const int priority = settings.readInt ? settings.readInt(priorityKey, defaultPriority) : defaultPriority;
    if (enabled || defaultPriority == -2) return priority;
    decoderDebug("Decoder '" + name + "' disabled by config");
    return -1;
}

void StreamDecoder::addRegistration(const StreamDecoderRegistration& row) {
    decoderRegistry.push_back(row);
}

bool StreamDecoder::registerDecoders(const DecoderRegistrationConfig& config) {
    const bool libav = StreamDecoderLibAVH264::registerDecoder(config);
    if (libav) decoderDebug("StreamDecoder: Registered LibAV successfully");
    if (StreamDecoderOpenH264::registerDecoder(config)) {
        decoderDebug("StreamDecoder: Registered OpenH264 successfully");
        return true;
    }
    return libav;
}

void StreamDecoder::collectSupportedEncodings() {
    for (const StreamDecoderRegistration& row : decoderRegistry) {
        if (std::find(supportedEncodings.begin(), supportedEncodings.end(), row.spec) == supportedEncodings.end()) {
            supportedEncodings.push_back(row.spec);
        }
    }
}

std::unique_ptr<StreamDecoder> StreamDecoder::create(const std::string& name, int width, int height,
                                                     int outputColorFormat, const VideoEncodingSpec& spec) {
    decoderDebug("Using decoder " + name + ", out format " + colorFormatName(outputColorFormat));
    if (name == "OpenH264") return std::make_unique<StreamDecoderOpenH264>(width, height, outputColorFormat, spec);
    if (name == "LibAVH264") return std::make_unique<StreamDecoderLibAVH264>(width, height, outputColorFormat, spec);
    decoderCritical("StreamDecoder: No suitable decoder found");
    return nullptr;
}

std::string StreamDecoder::describeEntry(const StreamDecoderRegistration& row) {
    return row.name + ", (" + (row.native ? "native" : "converted") + " cf), out format " +
           colorFormatName(row.outputColorFormat) + ", priority " + std::to_string(row.priority) + " (" +
           formatVideoEncodingSpec(row.spec) + ")";
}

} // namespace qor
