#include "RandomToken.h"

#include <Poco/Base64Encoder.h>
#include <Poco/RandomStream.h>

#include <sstream>

std::string randomToken(std::size_t byteCount) {
    Poco::RandomInputStream random;
    std::string bytes(byteCount, '\0');
    random.read(&bytes[0], static_cast<std::streamsize>(byteCount));
    std::ostringstream text;
    {
        Poco::Base64Encoder encoder(text, Poco::BASE64_URL_ENCODING | Poco::BASE64_NO_PADDING);
        encoder.rdbuf()->setLineLength(0);
        encoder << bytes;
    }
    return text.str();
}
