// Reading the JSON texts that reach the daemon (requests, the USB server's
// device list, a device-list file) strictly, with reasons in plain words:
// what POCO's conversions would say names internal types, and a number is
// no text, nor a text or a boolean a number.
#pragma once

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>
#include <Poco/Types.h>

#include <string>

// Parses the text as one JSON object or array; false with the reason.
bool parseJson(const std::string& text, Poco::Dynamic::Var& value, std::string& reason);
// Parses the text as one JSON object; false with the reason.
bool parseJsonObject(const std::string& text, Poco::JSON::Object::Ptr& object, std::string& reason);

// The member when it is an integer: written without a fraction or an
// exponent, not a boolean, not a text. False when missing or not one.
bool integerMember(const Poco::JSON::Object::Ptr& object, const std::string& name, Poco::Int64& value);
// The member when it is a text; false when missing or not one.
bool textMember(const Poco::JSON::Object::Ptr& object, const std::string& name, std::string& value);

// The text with every byte outside printable ASCII replaced by '?': a
// reason that quotes what came must stay a text any client can show.
std::string printableAscii(const std::string& text);
