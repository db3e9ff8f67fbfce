// Runs the demo server as a child process on a free loopback port and stops it.
#pragma once

#include <Poco/Process.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DemoServerProcess {
public:
    // Starts demo-server with --port=0 and the given arguments and waits for
    // its "listening on" line; throws std::runtime_error when it does not come.
    explicit DemoServerProcess(const std::vector<std::string>& arguments);
    // Stops the server with SIGTERM and fails the test unless it exits with 0.
    ~DemoServerProcess();
    DemoServerProcess(const DemoServerProcess&) = delete;
    DemoServerProcess& operator=(const DemoServerProcess&) = delete;

    int port() const { return port_; }
    bool secure() const { return secure_; }
    // "http://127.0.0.1:PORT/prefix/" as the server announced it.
    const std::string& announcedUrl() const { return url_; }
    // Sends the signal and waits up to 20 s; the exit code, or -1000 when the
    // process had to be killed.
    int stop(int signalNumber);
    // What the server logged so far.
    std::string log() const;

private:
    std::unique_ptr<Poco::ProcessHandle> process_;
    std::thread logReader_;
    mutable std::mutex logMutex_;
    std::string log_;
    std::string url_;
    int port_ = 0;
    bool secure_ = false;
    bool running_ = false;
};

// Runs a program to its end; returns its exit code and fills output with its
// standard output.
int runProgram(const std::string& program, const std::vector<std::string>& arguments, std::string* output = nullptr);
