// A helper process of a test (a scripted network peer): started with its
// standard output on a pipe that a reader thread collects line by line, and
// killed by the destructor if it is still running.
#pragma once

#include <Poco/Pipe.h>
#include <Poco/Process.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PeerProcess {
public:
    // With withInput the process reads its standard input from writeLine.
    PeerProcess(const std::string& program, const std::vector<std::string>& args, bool withInput = false);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Waits up to timeoutMs for an output line beginning with prefix and
    // returns the rest of it; false when none came (or the output ended).
    bool waitForLine(const std::string& prefix, std::string& rest, int timeoutMs);
    // Like waitForLine, but looks only at lines after the one that the
    // previous waitForNextLine returned, so that a repeated line is found
    // again.
    bool waitForNextLine(const std::string& prefix, std::string& rest, int timeoutMs);
    // Waits up to timeoutMs for the process to end and returns its exit
    // code; kills it and returns -1000 when it did not end in time.
    int waitForExit(int timeoutMs);
    // All output lines so far, joined with newlines (for failure messages).
    std::string output() const;
    // Writes the text and a newline to the process's standard input (only
    // for a process started withInput); false when the process is gone.
    bool writeLine(const std::string& text);

private:
    void readOutput();
    // From line index seen on; seen is left at the line that matched.
    bool waitForLineFrom(std::size_t& seen, const std::string& prefix, std::string& rest, int timeoutMs);

    std::unique_ptr<Poco::Pipe> pipe_;
    std::unique_ptr<Poco::Pipe> input_;
    std::unique_ptr<Poco::ProcessHandle> handle_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::size_t cursor_ = 0;
    bool outputEnded_ = false;
    bool exited_ = false;
    int exitCode_ = 0;
};
