#include "LogCapture.h"

#include "Logging.h"

#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/Thread.h>

class LogCapture::Channel : public Poco::Channel {
public:
    void log(const Poco::Message& msg) override {
        Poco::FastMutex::ScopedLock lock(mutex);
        lines.push_back({static_cast<int>(msg.getPriority()), msg.getText(), msg.getTime()});
    }
    mutable Poco::FastMutex mutex;
    std::vector<CapturedLine> lines;
};

LogCapture::LogCapture(const std::string& level) : channel_(new Channel) {
    Poco::Logger::root().setChannel(channel_);
    Poco::Logger::root().setLevel(level);
    createClientLogger();
    Poco::Logger::get("QOR").setChannel(channel_);
    Poco::Logger::get("QOR").setLevel(level);
}

LogCapture::~LogCapture() {
    Poco::Logger::get("QOR").setChannel(nullptr);
    Poco::Logger::root().setChannel(nullptr);
}

std::vector<CapturedLine> LogCapture::lines() const {
    Poco::FastMutex::ScopedLock lock(channel_->mutex);
    return channel_->lines;
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> result;
    for (const CapturedLine& line : lines()) result.push_back(line.text);
    return result;
}

void LogCapture::clear() {
    Poco::FastMutex::ScopedLock lock(channel_->mutex);
    channel_->lines.clear();
}

int LogCapture::count(const std::string& fragment) const {
    int n = 0;
    for (const CapturedLine& line : lines())
        if (line.text.find(fragment) != std::string::npos) ++n;
    return n;
}

bool LogCapture::contains(const std::string& fragment) const { return count(fragment) > 0; }

bool LogCapture::waitFor(const std::string& fragment, int timeoutMs) const {
    for (int waited = 0;; waited += 10) {
        if (contains(fragment)) return true;
        if (waited >= timeoutMs) return false;
        Poco::Thread::sleep(10);
    }
}

void LogCapture::setLevel(const std::string& level) {
    Poco::Logger::root().setLevel(level);
    Poco::Logger::get("QOR").setLevel(level);
}
