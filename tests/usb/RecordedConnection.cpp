#include "RecordedConnection.h"

#include <Poco/JSON/Array.h>

#include <chrono>

namespace {

int typeOf(const std::string& json) {
    try {
        return QorMessage(json).getType();
    } catch (...) {
        return -1;
    }
}

} // namespace

void RecordedConnection::sendCtrl(const std::string& json, const std::string& label, bool) {
    std::lock_guard<std::mutex> guard(mutex_);
    server_.push_back({json, label, typeOf(json)});
    changed_.notify_all();
}

bool RecordedConnection::updateWebClient(const std::string& text, bool) {
    if (pageAway_.load()) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    page_.push_back({text, "", typeOf(text)});
    changed_.notify_all();
    return true;
}

std::vector<RecordedConnection::Sent> RecordedConnection::toServer() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return server_;
}

std::vector<RecordedConnection::Sent> RecordedConnection::toPage() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return page_;
}

std::vector<QorMessage> RecordedConnection::ofType(const std::vector<Sent>& sent, int type) {
    std::vector<QorMessage> result;
    for (const Sent& s : sent)
        if (s.type == type) result.emplace_back(s.json);
    return result;
}

std::vector<QorMessage> RecordedConnection::toServer(int type) const { return ofType(toServer(), type); }

std::vector<QorMessage> RecordedConnection::toPage(int type) const { return ofType(toPage(), type); }

bool RecordedConnection::waitForPage(int type, int count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int seen = 0;
        for (const Sent& s : page_)
            if (s.type == type) ++seen;
        return seen >= count;
    });
}

void RecordedConnection::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    server_.clear();
    page_.clear();
}

std::vector<std::string> listedDevices(const QorMessage& list) {
    std::vector<std::string> result;
    const Poco::JSON::Array::Ptr devices = list.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
    for (std::size_t i = 0; i < devices->size(); ++i) {
        const Poco::JSON::Object::Ptr device = devices->getObject(static_cast<unsigned int>(i));
        result.push_back(device->getValue<std::string>("VHDevPrettyName") + ":" +
                         std::to_string(device->getValue<int>("VHDevEnabled")));
    }
    return result;
}
