#include "PeerProcess.h"

#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Thread.h>

#include <chrono>

PeerProcess::PeerProcess(const std::string& program, const std::vector<std::string>& args, bool withInput)
    : pipe_(new Poco::Pipe), input_(withInput ? new Poco::Pipe : nullptr) {
    handle_.reset(
        new Poco::ProcessHandle(Poco::Process::launch(program, args, input_.get(), pipe_.get(), nullptr)));
    reader_ = std::thread([this] { readOutput(); });
}

PeerProcess::~PeerProcess() {
    if (input_) input_->close(Poco::Pipe::CLOSE_WRITE);
    if (waitForExit(0) == -1000) {
        // waitForExit killed it; reap it so that no zombie stays behind.
        try {
            handle_->wait();
        } catch (...) {
        }
    }
    reader_.join();
}

void PeerProcess::readOutput() {
    Poco::PipeInputStream in(*pipe_);
    std::string line;
    while (std::getline(in, line)) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outputEnded_ = true;
    changed_.notify_all();
}

bool PeerProcess::waitForLine(const std::string& prefix, std::string& rest, int timeoutMs) {
    std::size_t seen = 0;
    return waitForLineFrom(seen, prefix, rest, timeoutMs);
}

bool PeerProcess::waitForNextLine(const std::string& prefix, std::string& rest, int timeoutMs) {
    std::size_t seen = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen = cursor_;
    }
    if (!waitForLineFrom(seen, prefix, rest, timeoutMs)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    cursor_ = seen + 1;
    return true;
}

bool PeerProcess::waitForLineFrom(std::size_t& seen, const std::string& prefix, std::string& rest, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (; seen < lines_.size(); ++seen) {
            if (lines_[seen].compare(0, prefix.size(), prefix) == 0) {
                rest = lines_[seen].substr(prefix.size());
                return true;
            }
        }
        if (outputEnded_) return false;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && seen == lines_.size() && !outputEnded_)
            return false;
    }
}

int PeerProcess::waitForExit(int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (exited_) return exitCode_;
    }
    for (int waited = 0;; waited += 20) {
        const int code = handle_->tryWait();
        if (code != -1) {
            std::lock_guard<std::mutex> lock(mutex_);
            exited_ = true;
            exitCode_ = code;
            return code;
        }
        if (waited >= timeoutMs) break;
        Poco::Thread::sleep(20);
    }
    try {
        Poco::Process::kill(*handle_);
    } catch (...) {
    }
    return -1000;
}

std::string PeerProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
}

bool PeerProcess::writeLine(const std::string& text) {
    if (!input_) return false;
    const std::string line = text + "\n";
    try {
        return input_->writeBytes(line.data(), static_cast<int>(line.size())) == static_cast<int>(line.size());
    } catch (...) {
        return false;
    }
}
