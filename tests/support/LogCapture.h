// Test fixture helper: routes the client logger into memory so that tests
// can assert on the exact log lines the code writes.
#pragma once

#include <Poco/Channel.h>
#include <Poco/Mutex.h>
#include <Poco/Timestamp.h>

#include <string>
#include <vector>

struct CapturedLine {
    int priority;
    std::string text;
    Poco::Timestamp time;  // when it was logged
};

class LogCapture {
public:
    // Installs the capture channel on the root and the "QOR" logger with the
    // given level and makes sure the facade writes.
    explicit LogCapture(const std::string& level = "trace");
    ~LogCapture();

    std::vector<CapturedLine> lines() const;
    std::vector<std::string> texts() const;
    void clear();
    // True when some line's text contains the fragment.
    bool contains(const std::string& fragment) const;
    // Number of lines whose text contains the fragment.
    int count(const std::string& fragment) const;
    // Waits up to the given time for a line containing the fragment.
    bool waitFor(const std::string& fragment, int timeoutMs) const;
    void setLevel(const std::string& level);

private:
    class Channel;
    Poco::AutoPtr<Channel> channel_;
};
