#include "PlainJson.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>

namespace {

// The first byte that is not JSON white space, or NUL.
char firstByte(const std::string& text) {
    const std::string::size_type first = text.find_first_not_of(" \t\r\n");
    return first == std::string::npos ? '\0' : text[first];
}

} // namespace

bool parseJson(const std::string& text, Poco::Dynamic::Var& value, std::string& reason) {
    // The parser's reasons for a text that is a lone value are its own
    // internals.
    if (firstByte(text) != '{' && firstByte(text) != '[') {
        reason = "not a JSON object or array";
        return false;
    }
    try {
        Poco::JSON::Parser parser;
        value = parser.parse(text);
        return true;
    } catch (const Poco::Exception& e) {
        // The parser's message says where and what, without a type name.
        reason = "not a JSON text (" + printableAscii(e.message().empty() ? e.what() : e.message()) + ")";
    }
    return false;
}

bool parseJsonObject(const std::string& text, Poco::JSON::Object::Ptr& object, std::string& reason) {
    Poco::Dynamic::Var value;
    if (firstByte(text) == '{' && !parseJson(text, value, reason)) return false;
    if (value.type() != typeid(Poco::JSON::Object::Ptr)) {
        reason = "not a JSON object";
        return false;
    }
    object = value.extract<Poco::JSON::Object::Ptr>();
    return true;
}

bool integerMember(const Poco::JSON::Object::Ptr& object, const std::string& name, Poco::Int64& value) {
    if (object.isNull() || !object->has(name)) return false;
    const Poco::Dynamic::Var member = object->get(name);
    if (!member.isInteger() || member.isBoolean()) return false;
    try {
        value = member.convert<Poco::Int64>();
        return true;
    } catch (const Poco::Exception&) {
        return false; // beyond what 64 bits hold
    }
}

bool textMember(const Poco::JSON::Object::Ptr& object, const std::string& name, std::string& value) {
    if (object.isNull() || !object->has(name)) return false;
    const Poco::Dynamic::Var member = object->get(name);
    if (!member.isString()) return false;
    value = member.extract<std::string>();
    return true;
}

std::string printableAscii(const std::string& text) {
    std::string printable = text;
    for (char& c : printable)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    return printable;
}
