// The rotating log file channel of the client. It behaves as POCO's file
// channel, but every log file it creates (the first one and each one that
// replaces an archived file) can be read and written by its owner only, and
// an existing log file is restricted when the channel opens it.
//
// Once the file has taken a line, a line that cannot be written (disk full,
// file size limit, a failed rotation) is dropped: the failure is reported
// once on standard error, the file is closed and opened again for the next
// line. Until then a failure is raised, so that the log set-up can tell that
// the file is not usable.
#pragma once

#include <Poco/FileChannel.h>
#include <Poco/Mutex.h>

#include <string>

class OwnerOnlyFileChannel : public Poco::FileChannel {
public:
    OwnerOnlyFileChannel() = default;

    void open() override;
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
};

// Platform part.
// Creates the file with owner-only permissions when it does not exist, and
// takes every other permission away from an existing one. Failures are left
// to the channel's own open, which reports them.
void prepareOwnerOnlyFile(const std::string& path);

// A write past the process's file size limit fails instead of ending the
// process.
void keepRunningAtFileSizeLimit();

// While it exists, files that this process creates get owner-only
// permissions (the rotation creates the new log file inside POCO).
class OwnerOnlyCreationScope {
public:
    OwnerOnlyCreationScope();
    ~OwnerOnlyCreationScope();
    OwnerOnlyCreationScope(const OwnerOnlyCreationScope&) = delete;
    OwnerOnlyCreationScope& operator=(const OwnerOnlyCreationScope&) = delete;

private:
    unsigned int saved_;
};
