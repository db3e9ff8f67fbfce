#include "FuzzSupport.h"

#include "Logging.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/PatternFormatter.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/NullChannel.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdlib>

namespace fuzz {

void discardLogs(const std::string& level) {
    // QDK_FUZZ_LOG=1 shows the lines on standard error instead, with the
    // time and thread, to see what an input does.
    Poco::AutoPtr<Poco::Channel> channel;
    if (const char* show = std::getenv("QDK_FUZZ_LOG"); show != nullptr && *show != '\0' && *show != '0') {
        Poco::AutoPtr<Poco::PatternFormatter> format(new Poco::PatternFormatter("%H:%M:%S.%i [%T] %t"));
        channel = new Poco::FormattingChannel(format, new Poco::ConsoleChannel);
    } else {
        channel = new Poco::NullChannel;
    }
    Poco::Logger::root().setChannel(channel);
    Poco::Logger::root().setLevel(level);
    createClientLogger();
    Poco::Logger::get("QOR").setChannel(channel);
    Poco::Logger::get("QOR").setLevel(level);
}

std::vector<std::string> splitInput(const std::uint8_t* data, std::size_t size, char separator,
                                    std::size_t maxParts) {
    std::vector<std::string> parts;
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        std::size_t end = start;
        while (end < size && text[end] != separator) ++end;
        if (end == size) break;
        parts.emplace_back(text + start, end - start);
        start = end + 1;
    }
    parts.emplace_back(text + start, size - start);
    return parts;
}

namespace {

struct Scratch {
    Scratch() : path(Poco::TemporaryFile::tempName()) { Poco::File(path).createDirectories(); }
    ~Scratch() {
        try {
            Poco::File(path).remove(true);
        } catch (...) {
        }
    }
    std::string path;
};

} // namespace

const std::string& scratchDirectory() {
    static Scratch scratch;
    return scratch.path;
}

[[noreturn]] void fail(const std::string& what) {
    // Through the sanitizers' report channel: standard error may be closed
    // for the code under test (-close_fd_mask).
    __sanitizer_report_error_summary(("fuzz property violated: " + what).c_str());
    std::abort();
}

} // namespace fuzz
