// The holder of one started command: the command runs from an argument
// vector (never through a command interpreter) with its standard output on
// a pipe, inside a job of its own. Releasing the holder ends the command
// and every process it started, also those that left its process group or
// session, and collects them all.
//
// A holder belongs to the operation that made it and is used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The job of a command: what ends all its processes when it is closed.
// On Linux a keeper process that leads the command's process group and
// adopts every orphan among its descendants; its control descriptor closed,
// it kills them all and ends.
struct CommandJob {
    int controlHandle = -1; // closing it ends the job
    std::uint32_t keeperId = 0;
};

// The started command as process creation reports it.
struct CommandProcessInformation {
    int processHandle = -1; // readable when the command has ended
    std::uint32_t processId = 0;
};

class CommandProcess {
public:
    CommandProcess() = default;
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    // Starts command (an absolute path, no search) with the arguments and
    // returns the stream of its standard output, which the holder owns and
    // callers only read; null on failure, logged under logName.
    FILE* runCommandStream(const std::string& logName, const std::string& command,
                           const std::vector<std::string>& arguments);

    // Starts the command like runCommandStream; with wait set, waits up to
    // waitMs for it to end, reading its output meanwhile (kept in output()),
    // so that a command that writes more than a pipe holds never blocks.
    // True when the command was started, also when the wait timed out.
    bool runCommandWait(const std::string& logName, const std::string& command,
                        const std::vector<std::string>& arguments, bool wait, int waitMs = 1000);

    // Waits up to milliseconds (negative: without limit) for the command to
    // end, and records its exit code when it did. Does not read the output.
    bool waitForExit(int milliseconds);

    // Ends the command and every process of its job if still running,
    // closes the stream and the job and collects the processes. A recorded
    // exit code stays; a second call finds nothing left.
    void terminate();

    // The command's standard error goes to the output pipe too (by default
    // it is discarded). Set before the command is started.
    void setCaptureErrorOutput(bool capture) { captureErrorOutput_ = capture; }

    // What runCommandWait read from the output (at most 8 MiB are kept).
    const std::string& output() const { return output_; }
    bool exitCodeKnown() const { return exitCodeKnown_; }
    // The exit status; 128 + the signal number for a command ended by a signal.
    std::uint32_t exitCode() const { return exitCode_; }
    std::uint32_t processId() const { return processInformation_.processId; }
    // Why the last start failed (the system's error code), 0 after a start.
    int startError() const { return startError_; }

private:
    // Starts the command; on failure errorText says why (prefixed by
    // logName). Whatever was made is in the holder, which releases it.
    bool startCommand(const std::string& logName, const std::string& command, const std::vector<std::string>& arguments,
                      int& readPipe, std::string& errorText);
    // Reads the exit record when one is there within milliseconds.
    bool collectExit(int milliseconds);
    // Waits like waitForExit, reading the output meanwhile.
    bool waitReadingOutput(int milliseconds);

    FILE* outputStream_ = nullptr;
    CommandJob job_;
    CommandProcessInformation processInformation_;
    std::uint32_t exitCode_ = 0;
    bool exitCodeKnown_ = false;
    bool captureErrorOutput_ = false;
    int startError_ = 0;
    std::string output_;
};
