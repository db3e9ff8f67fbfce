// A control-protocol message: a JSON object with an integer member "type".
// Copies share the object. Members are written in ascending key order.
#pragma once

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include <cstdint>
#include <string>

class QorMessage {
public:
    // A message without object: every member access raises.
    QorMessage() = default;
    // A new object whose only member is "type".
    explicit QorMessage(int type);
    // Parses the text; a text that is not a JSON object leaves the message
    // without object (see parse).
    explicit QorMessage(const std::string& json);

    // Replaces the object with the parsed one and returns true. Text that is
    // not JSON, or JSON that is not an object, is logged and leaves the
    // message as it was; the result is false.
    bool parse(const std::string& json);

    // Compact JSON, members in ascending key order.
    std::string toJson() const;

    bool isEmpty() const { return object.isNull(); }

    void setMember(const std::string& key, const Poco::JSON::Array::Ptr& value);
    void setMember(const std::string& key, const std::string& value);
    void setMember(const std::string& key, std::int64_t value);

    // The getters below log a member that is missing or cannot be converted
    // and raise Poco::Exception; getString returns "" instead.
    bool getBool(const std::string& key) const;
    std::int32_t getInt(const std::string& key) const;
    std::int32_t getType() const;
    std::string getString(const std::string& key) const;

    // An empty value when the member is missing.
    Poco::Dynamic::Var getMember(const std::string& key) const;
    // The member exists and is not null.
    bool hasMember(const std::string& key) const;
    bool isNullMember(const std::string& key) const;

private:
    Poco::JSON::Object::Ptr object;
};
