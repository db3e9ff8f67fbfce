#include "FileHandle.h"

#include <cerrno>
#include <utility>

FileHandle FileHandle::forPipe(std::intptr_t nativePipe, bool writable, std::string removeOnClose) {
    FileHandle handle;
    handle.pipe_ = nativePipe;
    handle.writable_ = writable;
    handle.removeOnClose_ = std::move(removeOnClose);
    return handle;
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      pipe_(std::exchange(other.pipe_, noPipe)),
      writable_(other.writable_),
      removeOnClose_(std::move(other.removeOnClose_)) {
    other.removeOnClose_.clear();
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        stream_ = std::exchange(other.stream_, nullptr);
        pipe_ = std::exchange(other.pipe_, noPipe);
        writable_ = other.writable_;
        removeOnClose_ = std::move(other.removeOnClose_);
        other.removeOnClose_.clear();
    }
    return *this;
}

std::FILE* FileHandle::releaseStream() { return std::exchange(stream_, nullptr); }

std::ptrdiff_t FileHandle::read(void* data, std::size_t size) {
    if (stream_) {
        const std::size_t done = std::fread(data, 1, size, stream_);
        return done == 0 && std::ferror(stream_) ? -1 : static_cast<std::ptrdiff_t>(done);
    }
    if (pipe_ != noPipe && !writable_) return readPipe(pipe_, data, size);
    errno = EBADF;
    return -1;
}

std::ptrdiff_t FileHandle::write(const void* data, std::size_t size) {
    if (stream_) {
        const std::size_t done = std::fwrite(data, 1, size, stream_);
        return done == 0 && size != 0 ? -1 : static_cast<std::ptrdiff_t>(done);
    }
    if (pipe_ != noPipe && writable_) return writePipe(pipe_, data, size);
    errno = EBADF;
    return -1;
}

bool FileHandle::close() {
    bool ok = true;
    if (stream_) ok = std::fclose(std::exchange(stream_, nullptr)) == 0;
    if (pipe_ != noPipe) ok = closePipe(std::exchange(pipe_, noPipe), removeOnClose_) && ok;
    removeOnClose_.clear();
    return ok;
}
