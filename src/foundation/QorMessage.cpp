#include "QorMessage.h"

#include "Logging.h"
#include "ProtocolKeys.h"

#include <Poco/Exception.h>
#include <Poco/JSON/JSONException.h>
#include <Poco/JSON/Parser.h>

#include <iostream>
#include <sstream>

namespace {

// The start of a received text for a log line.
std::string excerpt(const std::string& text) {
    const std::size_t limit = 80;
    if (text.size() <= limit) return text;
    return text.substr(0, limit) + "...";
}

} // namespace

QorMessage::QorMessage(int type) : object(new Poco::JSON::Object) {
    object->set(QOR_MSG_TYPE, static_cast<Poco::UInt32>(type));
}

QorMessage::QorMessage(const std::string& json) { parse(json); }

bool QorMessage::parse(const std::string& json) {
    Poco::JSON::Parser parser(new Poco::JSON::ParseHandler(false));
    Poco::Dynamic::Var result;
    try {
        result = parser.parse(json);
    } catch (const Poco::JSON::JSONException& e) {
        std::cout << e.message() << std::endl;
        logError("Can't parse message '" + excerpt(json) + "': " + e.message());
        return false;
    } catch (const Poco::Exception& e) {
        logError("Can't parse message '" + excerpt(json) + "': " + e.displayText());
        return false;
    }
    if (result.isEmpty() || result.type() != typeid(Poco::JSON::Object::Ptr)) {
        logError("Can't parse message '" + excerpt(json) + "': not a JSON object");
        return false;
    }
    object = result.extract<Poco::JSON::Object::Ptr>();
    return true;
}

std::string QorMessage::toJson() const {
    std::ostringstream out;
    object->stringify(out, 0);
    return out.str();
}

void QorMessage::setMember(const std::string& key, const Poco::JSON::Array::Ptr& value) { object->set(key, value); }

void QorMessage::setMember(const std::string& key, const std::string& value) { object->set(key, value); }

void QorMessage::setMember(const std::string& key, std::int64_t value) {
    object->set(key, static_cast<Poco::Int64>(value));
}

bool QorMessage::getBool(const std::string& key) const {
    try {
        return object->getValue<int>(key) == 1;
    } catch (const Poco::Exception& e) {
        if (isDebugEnabled())
            logDebug("Can't retrieve boolean value of '" + key + "' received '" + e.what() + "'");
        throw Poco::Exception("Can't retrieve boolean value of '" + key + "'");
    }
}

std::int32_t QorMessage::getInt(const std::string& key) const {
    if (object.isNull()) {
        logError("Can't retrieve value of '" + key + "', message empty");
        throw Poco::Exception("Can't retrieve value of '" + key + "'");
    }
    try {
        return object->getValue<std::int32_t>(key);
    } catch (const Poco::Exception& e) {
        logError("Can't retrieve integer value of '" + key + "' received '" + e.what() + "'");
        throw Poco::Exception("Can't retrieve integer value of '" + key + "'");
    }
}

std::int32_t QorMessage::getType() const {
    if (object.isNull()) {
        logError("Can't retrieve message type, message empty");
        throw Poco::Exception("Can't retrieve value of 'QOR_MSG_TYPE'");
    }
    try {
        return object->getValue<std::int32_t>(QOR_MSG_TYPE);
    } catch (const Poco::Exception& e) {
        logError(std::string("Can't retrieve integer value of 'QOR_MSG_TYPE' received '") + e.what() + "'");
        throw Poco::Exception("Can't retrieve integer value of 'QOR_MSG_TYPE'");
    }
}

std::string QorMessage::getString(const std::string& key) const {
    try {
        return object->getValue<std::string>(key);
    } catch (const Poco::Exception& e) {
        logError("Can't retrieve string value of '" + key + "' received '" + e.what() + "'");
        return std::string();
    }
}

Poco::Dynamic::Var QorMessage::getMember(const std::string& key) const { return object->get(key); }

bool QorMessage::hasMember(const std::string& key) const { return !object->isNull(key); }

bool QorMessage::isNullMember(const std::string& key) const { return object->isNull(key); }
