#include "OwnerOnlyFileChannel.h"

#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>

namespace {

// "<n>" bytes, "<n> K" kilobytes, "<n> M" megabytes; anything else (time
// based rotation, "never") gives 0.
Poco::UInt64 parseRotationSize(const std::string& text) {
    std::string::size_type digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0) return 0;
    Poco::UInt64 value = 0;
    if (!Poco::NumberParser::tryParseUnsigned64(text.substr(0, digits), value)) return 0;
    const std::string unit = Poco::trim(text.substr(digits));
    if (unit.empty()) return value;
    if (unit == "K") return value * 1024;
    if (unit == "M") return value * 1024 * 1024;
    return 0;
}

bool isRegularFile(const std::string& path) {
    try {
        return Poco::File(path).isFile();
    } catch (const Poco::Exception&) {
        return false;
    }
}

} // namespace

void OwnerOnlyFileChannel::open() {
    if (open_.load(std::memory_order_acquire)) return;
    keepRunningAtFileSizeLimit();
    {
        OwnerOnlyCreationScope ownerOnly;
        Poco::FileChannel::open();
    }
    // A device or a FIFO (whose size cannot be told) is never rotated:
    // rotation would rename it away and put a regular file in its place.
    if (!isRegularFile(path_)) {
        Poco::FileChannel::setProperty(PROP_ROTATION, "never");
        rotationBytes_ = 0;
    }
    open_.store(true, std::memory_order_release);
}

void OwnerOnlyFileChannel::close() {
    Poco::FileChannel::close();
    open_.store(false, std::memory_order_release);
}

void OwnerOnlyFileChannel::setProperty(const std::string& name, const std::string& value) {
    Poco::FileChannel::setProperty(name, value);
    if (name == PROP_ROTATION) rotationBytes_ = parseRotationSize(value);
    if (name == PROP_PATH) path_ = value;
}

void OwnerOnlyFileChannel::log(const Poco::Message& msg) {
    Poco::FastMutex::ScopedLock lock(mutex_);
    try {
        // POCO renames the full file and creates its successor inside log();
        // only then may a new file appear, so only then is the scope needed.
        if (rotationBytes_ != 0 && size() >= rotationBytes_) {
            OwnerOnlyCreationScope ownerOnly;
            Poco::FileChannel::log(msg);
        } else {
            Poco::FileChannel::log(msg);
        }
        written_ = true;
    } catch (const Poco::Exception& e) {
        if (!written_) throw;
        // The stream of a failed write stays failed: the next line opens the
        // file again, so logging resumes once the file can take lines.
        close();
        reportLogWriteFailure("Can't write to the log file at '" + path_ + "': " + e.displayText() +
                              ".  Lines that cannot be written are dropped.");
    }
}
