// The rotating log file channel of the client. It behaves as POCO's file
// channel, but every log file it creates (the first one and each one that
// replaces an archived file) can be read and written by its owner only. It
// changes the mode of nothing else: an existing log file keeps the mode its
// owner gave it, and a path that names a device or a FIFO is left alone.
//
// Once the file has taken a line, a line that cannot be written (disk full,
// file size limit, a failed rotation) is dropped: the failure is reported
// once on standard error, the file is closed and opened again for the next
// line. Until then a failure is raised, so that the log set-up can tell that
// the file is not usable.
#pragma once

#include <Poco/FileChannel.h>
#include <Poco/Mutex.h>

#include <atomic>
#include <string>

class OwnerOnlyFileChannel : public Poco::FileChannel {
public:
    OwnerOnlyFileChannel() = default;

    void open() override;
    void close() override;
    void log(const Poco::Message& msg) override;
    void setProperty(const std::string& name, const std::string& value) override;

    // The size in bytes at which the file is rotated, 0 when it is not.
    Poco::UInt64 rotationBytes() const { return rotationBytes_; }

protected:
    ~OwnerOnlyFileChannel() override = default;

private:
    Poco::FastMutex mutex_;
    Poco::UInt64 rotationBytes_ = 0;
    std::string path_;
    bool written_ = false;
    // POCO's log() calls open() for every line; only the first one opens.
    std::atomic<bool> open_{false};
};

// Platform part.

// A write past the process's file size limit fails instead of ending the
// process.
void keepRunningAtFileSizeLimit();

// While it exists, files that this process creates get owner-only
// permissions (POCO creates the log file when it opens it, and its successor
// when it rotates it).
class OwnerOnlyCreationScope {
public:
    OwnerOnlyCreationScope();
    ~OwnerOnlyCreationScope();
    OwnerOnlyCreationScope(const OwnerOnlyCreationScope&) = delete;
    OwnerOnlyCreationScope& operator=(const OwnerOnlyCreationScope&) = delete;

private:
    unsigned int saved_;
};
