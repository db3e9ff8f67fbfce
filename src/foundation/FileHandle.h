// What openFileWithMode hands out: a C stream for a file, or one end of a
// named pipe. Owns what it holds and closes it when destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(std::FILE* stream) : stream_(stream) {}
    // One end of a named pipe (a descriptor here, a HANDLE on Windows).
    // removeOnClose names a pipe that this end created and removes again.
    static FileHandle forPipe(std::intptr_t nativePipe, bool writable, std::string removeOnClose = {});

    ~FileHandle() { close(); }
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    explicit operator bool() const { return stream_ != nullptr || pipe_ != noPipe; }
    bool isPipe() const { return pipe_ != noPipe; }
    std::FILE* stream() const { return stream_; }
    std::intptr_t nativePipe() const { return pipe_; }
    // Hands the stream to the caller, who closes it with fclose.
    std::FILE* releaseStream();

    // Bytes transferred, 0 at the end of the data, -1 on failure. A pipe end
    // works in its one direction only.
    std::ptrdiff_t read(void* data, std::size_t size);
    std::ptrdiff_t write(const void* data, std::size_t size);
    // Closes what the handle holds; false when the close reported an error.
    bool close();

private:
    static constexpr std::intptr_t noPipe = -1;

    static std::ptrdiff_t readPipe(std::intptr_t pipe, void* data, std::size_t size);
    static std::ptrdiff_t writePipe(std::intptr_t pipe, const void* data, std::size_t size);
    static bool closePipe(std::intptr_t pipe, const std::string& removeOnClose);

    std::FILE* stream_ = nullptr;
    std::intptr_t pipe_ = noPipe;
    bool writable_ = false;
    std::string removeOnClose_;
};
