// Throughput and latency of the decoder thread against the bare decoder
// libraries, in one process on the same streams. For each stream (made with
// ffmpeg at start: Baseline and High, 1080p and 2160p) and each decoder kind:
//   raw   - the library's own loop: OpenH264 DecodeFrameNoDelay (with the
//           flush our decoder does for non-Baseline streams), FFmpeg
//           avcodec_send_packet / avcodec_receive_frame through the loader;
//   ours  - access-unit buffers posted to a NativeDecoder thread and presented
//           to a canvas that keeps the newest frame without drawing;
//           flooded for frames per second, then one unit at a time for the
//           stage latencies (receive done -> decode start -> decode done ->
//           conversion done -> presented);
//   rgb   - as ours, with a canvas that draws only RGB24, so every picture
//           goes through the colour-conversion thread (1080p, OpenH264).
// Columns: frames per second of the best pass (raw; "+copy": raw OpenH264 that
// also copies each picture out of the library's reused buffers, which any
// asynchronous presenter must do; ours; ours/raw); "cpu" is
// raw CPU time per frame over ours (the busier of decoder and conversion
// thread), less stretched than wall time by other load on the machine; stage latencies
// (p50/p99 over the units, each unit's fastest paced pass); "added" is our
// total minus the library's own decode of the same unit; peak resident set.
// Usage: qdk-bench-decoder [--frames1080 N] [--frames2160 N] [--passes N] [--keep DIR]
#include "AccessUnitSplitter.h"
#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecoderStageObserver.h"
#include "FfmpegLoader.h"
#include "NativeClientDecoder.h"
#include "NativeClientVideoFrameEvent.h"
#include "QorCanvas.h"
#include "QorCanvasListEntry.h"
#include "StreamDecoder.h"
#include "StreamStatistics.h"
#include "VideoFrame.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <time.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Units = std::vector<std::vector<std::uint8_t>>;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// CPU time of a thread in ms: unlike wall time, not stretched when other
// processes keep the machine busy.
double cpuMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// ---- memory ---------------------------------------------------------------

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Samples the resident set every 2 ms while a phase runs.
class PeakMemory {
public:
    PeakMemory() : peak_(residentKiB()), sampler_([this] {
        while (!done_.load()) {
            peak_ = std::max(peak_.load(), residentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }) {}
    ~PeakMemory() { stop(); }
    long stop() {
        if (!done_.exchange(true)) sampler_.join();
        return std::max(peak_.load(), residentKiB());
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<long> peak_;
    std::thread sampler_;
};

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one;
}

// ---- statistics -----------------------------------------------------------

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p / 100.0 * values.size()));
    return values[at];
}

// ---- streams --------------------------------------------------------------

struct StreamSpec {
    const char* name;
    int width, height, frames;
    const char* profile;
    qor::VideoEncodingSpec spec;
};

bool makeStream(const std::string& path, const StreamSpec& s) {
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'testsrc2=size=" + std::to_string(s.width) + "x" +
        std::to_string(s.height) + ":rate=30' -frames:v " + std::to_string(s.frames) +
        " -pix_fmt yuv420p -c:v libx264 -preset veryfast -tune zerolatency -profile:v " + s.profile +
        " -x264-params aud=1:keyint=60 -b:v " + (s.height > 1080 ? "16M" : "6M") + " -f h264 '" + path + "'";
    return std::system(command.c_str()) == 0;
}

Units readUnits(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Units units;
    for (const AccessUnitSplitter::Unit& unit : AccessUnitSplitter::split(bytes.data(), bytes.size())) {
        units.emplace_back(bytes.begin() + unit.offset, bytes.begin() + unit.offset + unit.length);
    }
    return units;
}

// ---- raw loops ------------------------------------------------------------

// OpenH264 hands out pictures in buffers it reuses: whoever shows them
// later copies them first, as our decoder does.
void copyPicture(unsigned char* const planes[3], const SSysMEMBuffer& picture, std::vector<std::uint8_t>& into) {
    const int chromaWidth = (picture.iWidth + 1) / 2, chromaHeight = (picture.iHeight + 1) / 2;
    into.resize(static_cast<std::size_t>(picture.iWidth) * picture.iHeight + 2u * chromaWidth * chromaHeight);
    std::uint8_t* to = into.data();
    for (int k = 0; k < 3; ++k) {
        const int width = k == 0 ? picture.iWidth : chromaWidth;
        const int height = k == 0 ? picture.iHeight : chromaHeight;
        const int stride = picture.iStride[k == 0 ? 0 : 1];
        for (int line = 0; line < height; ++line, to += width) {
            std::memcpy(to, planes[k] + static_cast<std::ptrdiff_t>(line) * stride, width);
        }
    }
}

// Per-unit decode times of one pass, in ms; empty when the library failed.
std::vector<double> rawOpenH264(const Units& units, bool copyPictures) {
    ISVCDecoder* decoder = nullptr;
    if (WelsCreateDecoder(&decoder) != 0 || decoder == nullptr) return {};
    SDecodingParam param;
    std::memset(&param, 0, sizeof(param));
    param.uiTargetDqLayer = 255;
    param.eEcActiveIdc = ERROR_CON_SLICE_COPY;
    param.sVideoProperty.size = sizeof(param.sVideoProperty);
    param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_SVC;
    std::vector<double> times;
    std::vector<std::uint8_t> copy;
    if (decoder->Initialize(&param) == 0) {
        int pictures = 0;
        for (const auto& unit : units) {
            const auto start = Clock::now();
            unsigned char* planes[3] = {nullptr, nullptr, nullptr};
            SBufferInfo info;
            std::memset(&info, 0, sizeof(info));
            decoder->DecodeFrameNoDelay(unit.data(), static_cast<int>(unit.size()), planes, &info);
            if (info.iBufferStatus == 0) {
                int remaining = 0;
                decoder->GetOption(DECODER_OPTION_NUM_OF_FRAMES_REMAINING_IN_BUFFER, &remaining);
                if (remaining > 0) {
                    std::memset(&info, 0, sizeof(info));
                    decoder->FlushFrame(planes, &info);
                }
            }
            if (copyPictures && info.iBufferStatus != 0) copyPicture(planes, info.UsrData.sSystemBuffer, copy);
            times.push_back(msBetween(start, Clock::now()));
            if (info.iBufferStatus != 0) ++pictures;
        }
        if (pictures != static_cast<int>(units.size())) times.clear();
        decoder->Uninitialize();
    }
    WelsDestroyDecoder(decoder);
    return times;
}

std::vector<double> rawFfmpeg(const Units& units) {
    const AVCodec* codec = ffmpegApi.avcodec_find_decoder_by_name("h264");
    AVCodecContext* context = codec ? ffmpegApi.avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr) return {};
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_type = FF_THREAD_SLICE;
    std::vector<double> times;
    AVPacket* packet = ffmpegApi.av_packet_alloc();
    AVFrame* frame = ffmpegApi.av_frame_alloc();
    if (ffmpegApi.avcodec_open2(context, codec, nullptr) == 0 && packet && frame) {
        int pictures = 0;
        for (const auto& unit : units) {
            const auto start = Clock::now();
            packet->data = const_cast<std::uint8_t*>(unit.data());
            packet->size = static_cast<int>(unit.size());
            if (ffmpegApi.avcodec_send_packet(context, packet) == 0 &&
                ffmpegApi.avcodec_receive_frame(context, frame) == 0) {
                ++pictures;
                ffmpegApi.av_frame_unref(frame);
            }
            times.push_back(msBetween(start, Clock::now()));
        }
        if (pictures != static_cast<int>(units.size())) times.clear();
    }
    packet->data = nullptr;
    packet->size = 0;
    ffmpegApi.av_packet_free(&packet);
    ffmpegApi.av_frame_free(&frame);
    ffmpegApi.avcodec_free_context(&context);
    return times;
}

// ---- our pipeline ---------------------------------------------------------

// Takes frames as the window does (keeps the newest, gives back the one it
// replaces) without drawing, and notes when each one arrived.
class TakingCanvas : public qor::QorCanvas {
public:
    TakingCanvas(int format, int units) : QorCanvas(0, 0), presented(units), format_(format) { setCanvasId(0); }
    ~TakingCanvas() override { qor::releaseVideoFrame(&held_); }
    bool supportsColorFormat(int code) override { return code == format_; }
    void presentFrame(qor::VideoFrame* frame) override {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> guard(mutex_);
        qor::releaseVideoFrame(&held_);
        held_ = frame;
        if (count_ < presented.size()) presented[count_] = now;
        ++count_;
        arrived_.notify_all();
    }
    void clearScreen() override {}
    void refreshScreen() override {}
    void deleteCanvasObject() override {}
    void resetFrames() override {
        std::lock_guard<std::mutex> guard(mutex_);
        qor::releaseVideoFrame(&held_);
    }
    bool waitFor(std::size_t count) {
        std::unique_lock<std::mutex> guard(mutex_);
        return arrived_.wait_for(guard, std::chrono::seconds(120), [&] { return count_ >= count; });
    }

    std::vector<Clock::time_point> presented;

private:
    const int format_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::size_t count_ = 0;
    qor::VideoFrame* held_ = nullptr;
};

// Stage times of each unit, in unit order (every unit gives one picture).
class StageClock : public qor::DecoderStageObserver {
public:
    explicit StageClock(std::size_t units) : decodeStart(units), decodeDone(units), converted(units) {}
    void stageReached(Stage stage) override {
        const auto now = Clock::now();
        if (stage == Stage::DECODE_START && !decoderSeen_.exchange(true)) {
            decoderThread_ = pthread_self();
            pthread_getcpuclockid(decoderThread_, &decoderClock);
            decoderCpuAtFirstUnit = cpuMs(CLOCK_THREAD_CPUTIME_ID);
        }
        if (stage == Stage::CONVERSION_DONE && !pthread_equal(pthread_self(), decoderThread_) &&
            !converterSeen_.exchange(true)) {
            pthread_getcpuclockid(pthread_self(), &converterClock);
            converterKnown = true;
        }
        switch (stage) {
        case Stage::DECODE_START: note(decodeStart, starts_, now); break;
        case Stage::DECODE_DONE: note(decodeDone, dones_, now); break;
        case Stage::CONVERSION_DONE: note(converted, conversions_, now); break;
        case Stage::NO_PICTURE: ++noPicture; break;
        }
    }
    std::vector<Clock::time_point> decodeStart, decodeDone, converted;
    std::atomic<int> noPicture{0};
    clockid_t decoderClock{}, converterClock{};
    double decoderCpuAtFirstUnit = 0;
    std::atomic<bool> converterKnown{false};

private:
    static void note(std::vector<Clock::time_point>& times, std::atomic<std::size_t>& count, Clock::time_point now) {
        const std::size_t at = count++;
        if (at < times.size()) times[at] = now;
    }
    std::atomic<std::size_t> starts_{0}, dones_{0}, conversions_{0};
    std::atomic<bool> decoderSeen_{false}, converterSeen_{false};
    pthread_t decoderThread_{};
};

// The server connection's place: keeps what the decoder reports.
class Target : public qor::QorEventThread {
public:
    Target() : QorEventThread(false) { setName("Session 1"); }
    void eventLoop() override {}
};

struct PipelineRun {
    double fps = 0;
    double cpuPerFrame = 0;  // of the busier of decoder and conversion thread
    std::vector<double> handoff, decode, conversion, present, total;
    bool ok = false;
};

void freeBuffer(char* buffer) { delete[] buffer; }

qor::NativeClientVideoFrameEvent* videoEvent(const std::vector<std::uint8_t>& unit) {
    char* buffer = new char[unit.size() + 1];
    std::memcpy(buffer, unit.data(), unit.size());
    buffer[unit.size()] = 0;
    return new qor::NativeClientVideoFrameEvent(qor::NativeClientVideoFrameEvent::Buffer(buffer, freeBuffer),
                                                static_cast<std::int32_t>(unit.size()));
}

// One decoder thread over the stream: flooded (all units queued as fast as
// the queue takes them) or paced (the next unit once the last is presented).
PipelineRun runPipeline(const Units& units, const StreamSpec& s, int canvasFormat, bool paced) {
    PipelineRun run;
    TakingCanvas canvas(canvasFormat, static_cast<int>(units.size()));
    qor::addCanvas(&canvas);
    StageClock stages(units.size());
    Target target;
    qor::StreamStatistics statistics;
    statistics.reset(30);
    // Buffers made up front, as the receive thread has them.
    std::vector<qor::NativeClientVideoFrameEvent*> events;
    for (const auto& unit : units) events.push_back(videoEvent(unit));
    std::vector<Clock::time_point> received(units.size());

    auto* decoder = new qor::NativeDecoder(&target, 0, &statistics, "Session 1", s.spec, s.width, s.height);
    decoder->setStageObserver(&stages);
    decoder->start(0);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < events.size(); ++i) {
        while (decoder->queueLength() >= qor::EventQueue::EVENT_LIMIT - 8) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        received[i] = Clock::now();
        decoder->postEvent(events[i]);
        if (paced) canvas.waitFor(i + 1);
    }
    run.ok = canvas.waitFor(units.size()) && stages.noPicture == 0;
    const auto end = Clock::now();
    if (run.ok) {
        double busiest = cpuMs(stages.decoderClock) - stages.decoderCpuAtFirstUnit;
        if (stages.converterKnown) busiest = std::max(busiest, cpuMs(stages.converterClock));
        run.cpuPerFrame = busiest / units.size();
    }
    decoder->stopEventLoop();
    decoder->takeCanvas();
    delete decoder;
    run.fps = units.size() / (msBetween(start, end) / 1000.0);

    const bool converts = canvasFormat != ColorFormat::YUV420P;
    for (std::size_t i = 0; run.ok && i < units.size(); ++i) {
        const auto decoded = stages.decodeDone[i];
        const auto ready = converts ? stages.converted[i] : decoded;
        run.handoff.push_back(msBetween(received[i], stages.decodeStart[i]));
        run.decode.push_back(msBetween(stages.decodeStart[i], decoded));
        if (converts) run.conversion.push_back(msBetween(decoded, ready));
        run.present.push_back(msBetween(ready, canvas.presented[i]));
        run.total.push_back(msBetween(received[i], canvas.presented[i]));
    }
    return run;
}

std::string p50p99(const std::vector<double>& values) {
    if (values.empty()) return "     -     ";
    char text[64];
    std::snprintf(text, sizeof text, "%5.2f/%5.2f", percentile(values, 50), percentile(values, 99));
    return text;
}

void useDecoderKind(const std::string& kind, const qor::VideoEncodingSpec& spec) {
    decoderRegistry.clear();
    qor::StreamDecoder::clearSelectionCache();
    decoderRegistry.push_back({kind, spec, ColorFormat::YUV420P, true, true, 10});
}

} // namespace

int main(int argc, char** argv) {
    int frames1080 = 240, frames2160 = 60, passes = 3;
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--frames1080") frames1080 = std::atoi(argv[i + 1]);
        else if (option == "--frames2160") frames2160 = std::atoi(argv[i + 1]);
        else if (option == "--passes") passes = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--keep") keep = argv[i + 1];
    }
    if (!ensureLibav()) std::printf("FFmpeg libraries not found: FFmpeg rows skipped\n");
    clientParallelDecoding.set(true);

    char folderTemplate[] = "/tmp/qdk-bench-XXXXXX";
    const std::string folder = keep.empty() ? std::string(mkdtemp(folderTemplate)) : keep;
    const StreamSpec streams[] = {
        {"1080p Baseline", 1920, 1080, frames1080, "baseline", {0, 0, 8}},
        {"1080p High", 1920, 1080, frames1080, "high", {3, 0, 8}},
        {"2160p Baseline", 3840, 2160, frames2160, "baseline", {0, 0, 8}},
        {"2160p High", 3840, 2160, frames2160, "high", {3, 0, 8}},
    };

    std::printf("%u cores, load %s; best of %d passes for frames/s; latencies p50/p99 in ms over the units, "
                "each unit's fastest paced pass\n",
                std::thread::hardware_concurrency(), loadAverage().c_str(), passes);
    std::printf("%-15s %-9s %-5s %8s %8s %8s %6s %6s | %-11s %-11s %-11s %-11s %-11s %-11s | %s\n", "stream",
                "decoder", "path", "raw fps", "+copy", "our fps", "ratio", "cpu",  "hand-off", "decode", "convert", "present", "total",
                "added", "peak RSS MiB raw/ours");
    for (const StreamSpec& s : streams) {
        const std::string path = folder + "/" + s.profile + std::to_string(s.height) + ".h264";
        if (access(path.c_str(), R_OK) != 0 && !makeStream(path, s)) {
            std::printf("%-15s ffmpeg could not make the stream\n", s.name);
            continue;
        }
        const Units units = readUnits(path);
        struct Row {
            const char* kind;
            const char* path;
            int canvasFormat;
        };
        std::vector<Row> rows = {{"OpenH264", "yuv", ColorFormat::YUV420P}};
        if (ffmpegApi.avcodec_send_packet != nullptr) rows.push_back({"LibAVH264", "yuv", ColorFormat::YUV420P});
        if (s.height == 1080) rows.push_back({"OpenH264", "rgb", ColorFormat::RGB24});
        for (const Row& row : rows) {
            const bool ffmpeg = std::string(row.kind) == "LibAVH264";
            useDecoderKind(row.kind, s.spec);
            // Passes alternate raw, flooded and paced runs, so that a busy
            // machine slows all three alike; each unit keeps its fastest time.
            std::vector<double> rawPerUnit(units.size(), 1e9);
            PipelineRun fastest;
            fastest.total.assign(units.size(), 1e9);
            fastest.handoff = fastest.decode = fastest.present = fastest.total;
            if (row.canvasFormat != ColorFormat::YUV420P) fastest.conversion = fastest.total;
            double rawBest = 0, rawCopyBest = 0, ourBest = 0, rawCpu = 1e9, ourCpu = 1e9;
            long rawPeak = 0, ourPeak = 0;
            bool ok = true;
            for (int pass = 0; pass < passes && ok; ++pass) {
                PeakMemory rawMemory;
                const auto start = Clock::now();
                const double cpuStart = cpuMs(CLOCK_THREAD_CPUTIME_ID);
                const std::vector<double> times = ffmpeg ? rawFfmpeg(units) : rawOpenH264(units, false);
                const double seconds = msBetween(start, Clock::now()) / 1000.0;
                rawCpu = std::min(rawCpu, (cpuMs(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / units.size());
                rawPeak = std::max(rawPeak, rawMemory.stop());
                if (times.empty()) {
                    std::printf("%-15s %-9s raw decode failed\n", s.name, row.kind);
                    ok = false;
                    break;
                }
                rawBest = std::max(rawBest, units.size() / seconds);
                for (std::size_t i = 0; i < units.size(); ++i) rawPerUnit[i] = std::min(rawPerUnit[i], times[i]);
                if (!ffmpeg) {
                    const auto copyStart = Clock::now();
                    rawOpenH264(units, true);
                    rawCopyBest = std::max(rawCopyBest, units.size() / (msBetween(copyStart, Clock::now()) / 1000.0));
                }

                PeakMemory ourMemory;
                const PipelineRun flood = runPipeline(units, s, row.canvasFormat, false);
                const PipelineRun paced = flood.ok ? runPipeline(units, s, row.canvasFormat, true) : PipelineRun();
                ourPeak = std::max(ourPeak, ourMemory.stop());
                if (!flood.ok || !paced.ok) {
                    std::printf("%-15s %-9s %-5s pipeline did not present every unit\n", s.name, row.kind, row.path);
                    ok = false;
                    break;
                }
                ourBest = std::max(ourBest, flood.fps);
                ourCpu = std::min(ourCpu, flood.cpuPerFrame);
                for (std::size_t i = 0; i < units.size(); ++i) {
                    auto keepMin = [i](std::vector<double>& to, const std::vector<double>& from) {
                        if (!from.empty()) to[i] = std::min(to[i], from[i]);
                    };
                    keepMin(fastest.total, paced.total);
                    keepMin(fastest.handoff, paced.handoff);
                    keepMin(fastest.decode, paced.decode);
                    keepMin(fastest.conversion, paced.conversion);
                    keepMin(fastest.present, paced.present);
                }
            }
            if (!ok) continue;
            // What the pipeline adds to the library's own decode of each unit.
            std::vector<double> added;
            for (std::size_t i = 0; i < units.size(); ++i) added.push_back(fastest.total[i] - rawPerUnit[i]);
            char copyFps[16] = "       -";
            if (rawCopyBest > 0) std::snprintf(copyFps, sizeof copyFps, "%8.1f", rawCopyBest);
            std::printf("%-15s %-9s %-5s %8.1f %s %8.1f %6.3f %6.3f | %s %s %s %s %s %s | %ld/%ld\n", s.name,
                        row.kind, row.path, rawBest, copyFps, ourBest, ourBest / rawBest, rawCpu / ourCpu, p50p99(fastest.handoff).c_str(),
                        p50p99(fastest.decode).c_str(), p50p99(fastest.conversion).c_str(),
                        p50p99(fastest.present).c_str(), p50p99(fastest.total).c_str(), p50p99(added).c_str(),
                        rawPeak / 1024, ourPeak / 1024);
            std::fflush(stdout);
        }
    }
    if (keep.empty()) std::system(("rm -rf '" + folder + "'").c_str());
    return 0;
}
