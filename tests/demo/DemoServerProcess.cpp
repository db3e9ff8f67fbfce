#include "DemoServerProcess.h"

#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/StreamCopier.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

DemoServerProcess::DemoServerProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> args{"--port=0"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    Poco::Pipe outPipe, errPipe;
    process_ = std::make_unique<Poco::ProcessHandle>(
        Poco::Process::launch(DEMO_SERVER_PROGRAM, args, nullptr, &outPipe, &errPipe));
    running_ = true;
    logReader_ = std::thread([this, errPipe]() mutable {
        Poco::PipeInputStream in(errPipe);
        std::string line;
        while (std::getline(in, line)) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_ += line + "\n";
        }
    });
    Poco::PipeInputStream out(outPipe);
    std::string line;
    while (std::getline(out, line)) {
        const auto at = line.find("listening on ");
        if (at == std::string::npos) continue;
        url_ = line.substr(at + 13);
        secure_ = url_.compare(0, 8, "https://") == 0;
        const auto colon = url_.find(':', secure_ ? 8 : 7);
        port_ = std::stoi(url_.substr(colon + 1));
        return;
    }
    stop(SIGKILL);
    throw std::runtime_error("demo-server did not start: " + log());
}

DemoServerProcess::~DemoServerProcess() {
    // Every run ends with an orderly stop, so that a crash, a hang or a
    // sanitizer report in the server shows as a failure of the test.
    if (running_) {
        const int code = stop(SIGTERM);
        EXPECT_EQ(0, code) << "demo-server did not stop cleanly; its log:\n" << log();
    }
    if (logReader_.joinable()) logReader_.join();
}

int DemoServerProcess::stop(int signalNumber) {
    if (!running_) return -1000;
    ::kill(process_->id(), signalNumber);
    int code = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((code = process_->tryWait()) == -1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (code == -1) {
        ::kill(process_->id(), SIGKILL);
        process_->wait();
        code = -1000;
    }
    running_ = false;
    if (logReader_.joinable()) logReader_.join();
    return code;
}

std::string DemoServerProcess::log() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments, std::string* output) {
    Poco::Pipe outPipe;
    Poco::ProcessHandle handle = Poco::Process::launch(program, arguments, nullptr, &outPipe, nullptr);
    Poco::PipeInputStream out(outPipe);
    std::string text;
    Poco::StreamCopier::copyToString(out, text);
    if (output) *output = text;
    return handle.wait();
}
