// qdk-decode: feeds an H.264 Annex-B file, one access unit at a time, through
// the client's decoder registry and selection, and writes every decoded
// picture as raw planes in the picture's own format, plus one line per
// picture (number, size, format, decoder).
#include "AccessUnitSplitter.h"
#include "AvVideoFrame.h"
#include "FfmpegLoader.h"
#include "ColorFormat.h"
#include "Logging.h"
#include "StreamDecoder.h"
#include "StreamDecoderLibAV.h"
#include "VideoEncodingSpec.h"

#include <Poco/AutoPtr.h>
#include <Poco/StreamChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "Usage: qdk-decode [options] INPUT.h264\n"
    "  -d, --decoder NAME    use only this decoder kind (OpenH264, LibAVH264)\n"
    "  -f, --formats LIST    colour-format codes the canvas draws (default 0,6,30,125,160)\n"
    "  -s, --spec E,C,B      stream specification (default 3,0,8)\n"
    "  -S, --size WxH        announced stream size (default 400x400)\n"
    "  -L, --libav-dir DIR   folder of the FFmpeg libraries\n"
    "  -o, --output FILE     raw planes of every picture ('-': standard output)\n"
    "  -l, --log FILE        one line per picture (default: standard output,\n"
    "                        standard error when the planes go there)\n"
    "  -v, --verbose         decoder log lines on standard error\n";

struct Options {
    std::string decoder;
    std::set<int> formats{ColorFormat::YUV420P, ColorFormat::YUV444P, ColorFormat::NV12, ColorFormat::RGB24,
                          ColorFormat::GBRP};
    std::string spec = "3,0,8";
    // A screen session's size until the server names one.
    int width = 400;
    int height = 400;
    std::string libAvDirectory;
    std::string output;
    std::string log;
    bool verbose = false;
    std::string input;
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-d" || arg == "--decoder") {
            if (!value(options.decoder)) return false;
        } else if (arg == "-f" || arg == "--formats") {
            if (!value(text)) return false;
            options.formats.clear();
            std::stringstream list(text);
            std::string code;
            while (std::getline(list, code, ',')) {
                if (!code.empty()) options.formats.insert(std::stoi(code));
            }
        } else if (arg == "-s" || arg == "--spec") {
            if (!value(options.spec)) return false;
        } else if (arg == "-S" || arg == "--size") {
            if (!value(text) || std::sscanf(text.c_str(), "%dx%d", &options.width, &options.height) != 2) return false;
        } else if (arg == "-L" || arg == "--libav-dir") {
            if (!value(options.libAvDirectory)) return false;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(options.output)) return false;
        } else if (arg == "-l" || arg == "--log") {
            if (!value(options.log)) return false;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else {
            options.input = arg;
        }
    }
    return !options.input.empty();
}

void setUpLogging(bool verbose) {
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("%q%q: %t"));
    Poco::AutoPtr<Poco::FormattingChannel> channel(
        new Poco::FormattingChannel(formatter, new Poco::StreamChannel(std::cerr)));
    Poco::Logger::root().setChannel(channel);
    Poco::Logger::root().setLevel(verbose ? "debug" : "warning");
    createClientLogger();
}

// Visible bytes of every plane, line by line.
void writePlanes(const qor::VideoFrame& frame, std::ostream& out) {
    for (int k = 0; k < 3; ++k) {
        const int rowBytes = frame.planeRowBytes(k);
        if (rowBytes <= 0 || frame.plane(k) == nullptr) continue;
        const int lines = frame.planeLines(k);
        for (int line = 0; line < lines; ++line) {
            out.write(reinterpret_cast<const char*>(frame.plane(k)) + static_cast<std::ptrdiff_t>(line) * frame.lineSize(k),
                      rowBytes);
        }
    }
}

std::string describeFormat(const qor::VideoFrame& frame) {
    std::string text = colorFormatName(frame.colorFormat(), true);
    if (frame.colorFormat() == ColorFormat::NONE) {
        if (const auto* av = dynamic_cast<const qor::AvVideoFrame*>(&frame)) {
            text = "NONE (" + std::to_string(ColorFormat::NONE) + ") avformat " + std::to_string(av->pixelFormat());
        }
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << usage;
        return 2;
    }
    setUpLogging(options.verbose);

    std::ifstream input(options.input, std::ios::binary);
    if (!input) {
        std::cerr << "qdk-decode: can't read '" << options.input << "'\n";
        return 1;
    }
    const std::vector<std::uint8_t> stream((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    const std::vector<AccessUnitSplitter::Unit> units = AccessUnitSplitter::split(stream.data(), stream.size());
    if (units.empty()) {
        std::cerr << "qdk-decode: no access unit found in '" << options.input
                  << "': it holds no H.264 Annex-B stream (NAL units after 00 00 01 start codes)\n";
        return 1;
    }

    qor::VideoEncodingSpec spec;
    if (!parseVideoEncodingSpec(spec, options.spec)) {
        std::cerr << "qdk-decode: bad stream specification '" << options.spec << "'\n";
        return 2;
    }

    DecoderRegistrationConfig config;
    config.libAvDirectory = options.libAvDirectory;
    const std::string forced = options.decoder;
    config.settings.readBool = [forced](const std::string& key, bool defaultValue) {
        if (forced.empty()) return defaultValue;
        return key == "Client.Decoder." + forced + ".enabled";
    };
    if (!qor::StreamDecoder::registerDecoders(config)) {
        std::cerr << "qdk-decode: no decoder registered\n";
        return 1;
    }
    const std::set<int> formats = options.formats;
    const qor::StreamDecoder::FormatTest canvasSupports = [formats](int code) { return formats.count(code) != 0; };
    std::unique_ptr<qor::StreamDecoder> decoder =
        qor::StreamDecoder::select(canvasSupports, spec, options.width, options.height);
    if (!decoder) {
        std::cerr << "qdk-decode: no decoder for stream type \"" << formatVideoEncodingSpec(spec) << "\"\n";
        return 1;
    }
    decoder->init();
    if (!canvasSupports(decoder->outputColorFormat) && !decoder->canConvert()) {
        std::cerr << "qdk-decode: decoder '" << decoder->name << "' can't convert its output\n";
        return 1;
    }

    std::ofstream outputFile;
    std::ostream* planes = nullptr;
    if (options.output == "-") {
        planes = &std::cout;
    } else if (!options.output.empty()) {
        outputFile.open(options.output, std::ios::binary);
        planes = &outputFile;
    }
    std::ofstream logFile;
    std::ostream* lines = options.output == "-" ? &std::cerr : &std::cout;
    if (!options.log.empty()) {
        logFile.open(options.log);
        lines = &logFile;
    }

    int pictures = 0;
    int failures = 0;
    // Writes one picture (converted first when the canvas would not draw
    // it) and gives the frame back.
    auto show = [&](qor::VideoFrame* frame) {
        qor::VideoFrame* shown = frame;
        qor::VideoFrame* converted = nullptr;
        if (!canvasSupports(frame->colorFormat())) {
            converted = decoder->convert(frame);
            shown = converted;
        }
        if (shown != nullptr) {
            *lines << "frame " << pictures << " " << shown->width() << "x" << shown->height() << " "
                   << describeFormat(*shown) << " " << decoder->name << (converted != nullptr ? " converted" : "")
                   << "\n";
            if (planes != nullptr) writePlanes(*shown, *planes);
        } else {
            *lines << "frame " << pictures << " conversion failed\n";
        }
        ++pictures;
        qor::releaseVideoFrame(&converted);
        qor::releaseVideoFrame(&frame);
    };
    for (const AccessUnitSplitter::Unit& unit : units) {
        qor::VideoFrame* frame = decoder->allocFrame(decoder->outputColorFormat);
        if (!decoder->decode(stream.data() + unit.offset, static_cast<std::uint32_t>(unit.length), &frame)) {
            ++failures;
            qor::releaseVideoFrame(&frame);
            continue;
        }
        show(frame);
    }
    // The end of the file ends the stream: the pictures the decoder still
    // holds for display order come last.
    for (;;) {
        qor::VideoFrame* frame = decoder->allocFrame(decoder->outputColorFormat);
        if (frame == nullptr || !decoder->drain(&frame)) {
            qor::releaseVideoFrame(&frame);
            break;
        }
        show(frame);
    }
    std::cerr << "qdk-decode: " << units.size() << " access units, " << pictures << " pictures, " << failures
              << " without picture, decoder " << decoder->name << "\n";
    decoder.reset();
    if (ffmpegApi.av_packet_free != nullptr) qor::StreamDecoderLibAV::freeRetiredResources();
    if (planes != nullptr) planes->flush();
    return 0;
}
