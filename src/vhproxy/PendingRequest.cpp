#include "PendingRequest.h"

#include <Poco/Exception.h>

#include <algorithm>

namespace {

// The most read from a connection at once.
constexpr std::size_t readStep = 16384;

} // namespace

PendingRequest::PendingRequest(const Poco::Net::StreamSocket& socket, unsigned int userId, Clock::time_point deadline,
                               int maxLength)
    : socket_(socket), userId_(userId), deadline_(deadline), maxLength_(maxLength) {
    socket_.setBlocking(false);
}

PendingRequest::Progress PendingRequest::read(std::string& reason) {
    try {
        while (headerRead_ < sizeof header_) {
            const int n = socket_.receiveBytes(header_ + headerRead_, static_cast<int>(sizeof header_ - headerRead_));
            if (n < 0) return Progress::Waiting; // nothing more for now
            if (n == 0) {
                reason = "Connection closed before a request arrived";
                return Progress::Failed;
            }
            headerRead_ += static_cast<std::size_t>(n);
        }
        if (length_ < 0) {
            length_ = static_cast<std::int32_t>(
                static_cast<std::uint32_t>(header_[0]) | static_cast<std::uint32_t>(header_[1]) << 8 |
                static_cast<std::uint32_t>(header_[2]) << 16 | static_cast<std::uint32_t>(header_[3]) << 24);
            if (length_ < 0 || length_ > maxLength_) {
                reason = "Refused a request of " + std::to_string(length_) + " bytes";
                return Progress::Failed;
            }
        }
        char chunk[readStep];
        while (text_.size() < static_cast<std::size_t>(length_)) {
            const std::size_t wanted = std::min(readStep, static_cast<std::size_t>(length_) - text_.size());
            const int n = socket_.receiveBytes(chunk, static_cast<int>(wanted));
            if (n < 0) return Progress::Waiting;
            if (n == 0) {
                reason = "Connection closed before the whole request arrived";
                return Progress::Failed;
            }
            text_.append(chunk, static_cast<std::size_t>(n));
        }
    } catch (const Poco::Exception& e) {
        reason = "Connection failed: " + e.displayText();
        return Progress::Failed;
    }
    return Progress::Complete;
}

std::string PendingRequest::request() const { return std::string(text_.c_str()); }
