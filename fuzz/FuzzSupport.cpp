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

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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

std::vector<std::string> splitInput(const std::uint8_t* data, std::size_t size, const std::string& separator,
                                    std::size_t maxParts) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (parts.size() + 1 < maxParts) {
        const std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) break;
        parts.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

void useOwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0)
        fail(std::string("no network namespace of its own (run as root): ") + std::strerror(errno));
    const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &request) != 0) fail("can't read the loopback's flags");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control, SIOCSIFFLAGS, &request) != 0) fail("can't bring the loopback up");
    ::close(control);
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
