#include "StartAddressProbe.h"

#include "Logging.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <memory>

const char* const serverPageMarker = "<!-- MY_UUID=808620FE-0605-4C04-B3A5-95AA4EE9F435";

namespace {

constexpr int requestTimeoutSeconds = 20;
constexpr int maxRedirects = 5;

std::unique_ptr<Poco::Net::HTTPClientSession> openSession(const Poco::URI& uri) {
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    if (uri.getScheme() == "https")
        session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort());
    else
        session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
    session->setTimeout(Poco::Timespan(requestTimeoutSeconds, 0));
    return session;
}

// One GET; the status, the body and the redirect target.
Poco::Net::HTTPResponse::HTTPStatus get(const Poco::URI& uri, std::string& body, std::string& location) {
    std::unique_ptr<Poco::Net::HTTPClientSession> session = openSession(uri);
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, uri.getPathAndQuery().empty() ? "/" : uri.getPathAndQuery(),
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    request.set("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) QuarrydeskClient/" + getClientVersion());
    request.set("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
    request.set("Accept-Language", "en-US,en;q=0.5");
    session->sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& stream = session->receiveResponse(response);
    body.clear();
    Poco::StreamCopier::copyToString(stream, body);
    location = response.get("Location", "");
    return response.getStatus();
}

} // namespace

bool fetchPage(const std::string& url, std::string& body) {
    try {
        Poco::URI uri(url);
        if (uri.getScheme() != "http" && uri.getScheme() != "https") return false;
        for (int redirect = 0; redirect <= maxRedirects; ++redirect) {
            std::string location;
            const Poco::Net::HTTPResponse::HTTPStatus status = get(uri, body, location);
            if (status == Poco::Net::HTTPResponse::HTTP_OK) return true;
            const bool redirected = status == Poco::Net::HTTPResponse::HTTP_MOVED_PERMANENTLY ||
                                    status == Poco::Net::HTTPResponse::HTTP_FOUND ||
                                    status == Poco::Net::HTTPResponse::HTTP_SEE_OTHER ||
                                    status == Poco::Net::HTTPResponse::HTTP_TEMPORARY_REDIRECT ||
                                    status == Poco::Net::HTTPResponse::HTTP_PERMANENT_REDIRECT;
            if (!redirected || location.empty()) return false;
            uri.resolve(location);
        }
    } catch (const Poco::Exception& e) {
        if (isDebugEnabled()) logDebug("Request failed: " + e.displayText());
    } catch (const std::exception& e) {
        if (isDebugEnabled()) logDebug(std::string("Request failed: ") + e.what());
    }
    body.clear();
    return false;
}

bool probeServer(const std::string& url, std::string body) {
    if (body.empty() && !fetchPage(url, body)) return false;
    return body.find(serverPageMarker) != std::string::npos;
}

bool probeBroker(const std::string& url, std::string& body) {
    try {
        const Poco::URI uri(url);
        Poco::URI probe;
        probe.setScheme(uri.getScheme());
        probe.setAuthority(uri.getAuthority());
        probe.setPathEtc("/index.pl?action=is_alive");
        body.clear();
        std::string location;
        if (get(probe, body, location) != Poco::Net::HTTPResponse::HTTP_OK) return false;
        return body.compare(0, 10, "CB_IS_OKAY") == 0;
    } catch (const Poco::Exception& e) {
        if (isDebugEnabled()) logDebug("Broker probe failed: " + e.displayText());
    } catch (const std::exception& e) {
        if (isDebugEnabled()) logDebug(std::string("Broker probe failed: ") + e.what());
    }
    return false;
}
