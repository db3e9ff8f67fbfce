#include "PageProbes.h"

#include "BrokerSession.h"
#include "Logging.h"
#include "MyInvalidCertificateHandler.h"

#include <Poco/Exception.h>
#include <Poco/InflatingStream.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/URI.h>

#include <algorithm>
#include <memory>
#include <sstream>

const char* const serverPageMarker = "<!-- MY_UUID=808620FE-0605-4C04-B3A5-95AA4EE9F435 -->";

Poco::Net::Context::Ptr fetchSslContext;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds stepTimeout{12000};
constexpr int maxRedirects = 3;
constexpr std::size_t blockSize = 8192;

struct FetchState {
    const PageFetchLimits& limits;
    Clock::time_point deadline;
    int redirects = 0;
};

// The time the next network step may take: 12 s, or what is left of the
// whole fetch; none left ends the fetch.
Poco::Timespan nextStepTimeout(const FetchState& state) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(state.deadline - Clock::now());
    if (left.count() <= 0)
        throw Poco::TimeoutException("Page not received within " + std::to_string(state.limits.deadline.count()) +
                                     " ms");
    const auto step = std::min(left, stepTimeout);
    return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(step.count()) * 1000);
}

void appendLimited(std::string& body, const char* data, std::size_t size, const FetchState& state) {
    if (body.size() + size > state.limits.maxBodyBytes)
        throw Poco::DataException("Page larger than " + std::to_string(state.limits.maxBodyBytes) + " bytes");
    body.append(data, size);
}

// Reads the body one socket read at a time, so that the deadline holds
// also against a peer that trickles bytes.
std::string readBody(Poco::Net::HTTPClientSession& session, std::istream& stream, const FetchState& state) {
    stream.exceptions(std::ios::badbit);
    std::string body;
    char buffer[blockSize];
    for (;;) {
        session.socket().setReceiveTimeout(nextStepTimeout(state));
        if (stream.peek() == std::char_traits<char>::eof()) break;
        const std::streamsize count = stream.readsome(buffer, sizeof buffer);
        appendLimited(body, buffer, static_cast<std::size_t>(count), state);
    }
    return body;
}

std::string inflateGzip(const std::string& compressed, const FetchState& state) {
    std::istringstream source(compressed);
    Poco::InflatingInputStream inflater(source, Poco::InflatingStreamBuf::STREAM_GZIP);
    inflater.exceptions(std::ios::badbit);
    std::string body;
    char buffer[blockSize];
    while (inflater) {
        inflater.read(buffer, sizeof buffer);
        appendLimited(body, buffer, static_cast<std::size_t>(inflater.gcount()), state);
    }
    return body;
}

std::string hostForAddress(const Poco::URI& uri) {
    const std::string& host = uri.getHost();
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool fetchInto(const std::string& url, std::string& page, FetchState& state) {
    std::string normalized;
    if (!normalizeUrlText(url, normalized)) {
        logError("Can't validate URL " + addressForLog(url));
        return false;
    }
    // Log lines show the address without a password of its user information.
    std::string uriText = addressForLog(normalized);
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    try {
        const Poco::URI uri(normalized);
        uriText = addressForLog(uri.toString());
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, uri.getPathAndQuery(),
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        request.set("User-Agent", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                                  "Chrome/104.0.0.0 Safari/537.36");
        request.set("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
                              "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.9");
        request.set("Accept-Language", "de-DE,de;q=0.9,en-US;q=0.8,en;q=0.7,no;q=0.6,nb;q=0.5,nn;q=0.4");
        request.set("Connection", "keep-alive");
        if (isDebugEnabled()) logDebug("Retrieving page with URL '" + uriText + "'");

        if (uri.getScheme() == "https") {
            if (!initSslContext()) return false;
            session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(), fetchSslContext);
        } else {
            session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
        }
        const Poco::Timespan step = nextStepTimeout(state);
        session->setTimeout(step, step, step);
        session->setKeepAlive(false);

        session->sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& stream = session->receiveResponse(response);
        const int status = static_cast<int>(response.getStatus());
        const std::streamsize length = response.getContentLength();
        if (isDebugEnabled())
            logDebug("Received response, URL '" + uriText + "', response status " + std::to_string(status) +
                     ", size " + std::to_string(length));

        const bool isPage = (status >= 200 && status <= 299) || status == 403 || status == 500;
        if (!isPage && status >= 301 && status <= 399) {
            std::string location = response.get("Location", "");
            if (!location.empty() && state.redirects < maxRedirects) {
                ++state.redirects;
                Poco::URI target(uri);
                target.resolve(location);
                location = target.toString();
                if (isDebugEnabled()) logDebug("Redirect to '" + addressForLog(location) + "'");
                session.reset();
                return fetchInto(location, page, state);
            }
        } else if (!isPage) {
            logError("Error fetching URL '" + uriText + "', response status " + std::to_string(status) + ", size " +
                     std::to_string(length));
            return false;
        }

        if (length != Poco::Net::HTTPMessage::UNKNOWN_CONTENT_LENGTH &&
            static_cast<std::size_t>(length) > state.limits.maxBodyBytes)
            throw Poco::DataException("Page larger than " + std::to_string(state.limits.maxBodyBytes) + " bytes");
        std::string body = readBody(*session, stream, state);
        if (response.get("Content-Encoding", "") == "gzip") body = inflateGzip(body, state);
        page += body;
        return true;
    } catch (const Poco::Exception& e) {
        logError("Error connecting to '" + uriText + "': " + e.displayText());
    } catch (const std::exception& e) {
        logError("Error connecting to '" + uriText + "': " + e.what());
    }
    return false;
}

} // namespace

bool fetchPage(std::string url, std::string& page) { return fetchPage(std::move(url), page, PageFetchLimits()); }

bool fetchPage(std::string url, std::string& page, const PageFetchLimits& limits) {
    FetchState state{limits, Clock::now() + limits.deadline};
    const std::size_t before = page.size();
    if (fetchInto(url, page, state)) return true;
    page.resize(before);
    return false;
}

bool initSslContext() {
    if (fetchSslContext) return true;
    try {
        Poco::Net::SSLManager::InvalidCertificateHandlerPtr handler(new MyInvalidCertificateHandler());
        Poco::Net::SSLManager& manager = Poco::Net::SSLManager::instance();
        manager.initializeClient(nullptr, handler, manager.defaultClientContext());
        Poco::Net::Context::Ptr context(new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, "", "", "",
                                                               Poco::Net::Context::VERIFY_NONE, 9, false,
                                                               "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH"));
        context->enableSessionCache(true);
        fetchSslContext = context;
        if (isDebugEnabled()) logDebug("SSL context initialized.");
        return true;
    } catch (...) {
        fetchSslContext = nullptr;
        return false;
    }
}

bool hasServerPageMarker(const std::string& html) { return html.find(serverPageMarker) != std::string::npos; }

bool probeServer(std::string url, std::string& page) {
    if (page.empty() && !fetchPage(std::move(url), page)) return false;
    return hasServerPageMarker(page);
}

bool probeBroker(std::string url, std::string& page) {
    std::string normalized;
    std::string error;
    if (!normalizeUrlText(url, normalized, error)) {
        logError("Can't validate url " + addressForLog(url) + ", error " + error);
        return false;
    }
    const Poco::URI uri(normalized);
    const std::string probe = uri.getScheme() + "://" + hostForAddress(uri) + "/index.pl?action=is_alive";
    if (!fetchPage(probe, page)) {
        componentDebug(LogComponentMask::NET, "Can't access potential broker url: " + addressForLog(probe));
        return false;
    }
    if (page.find("CB_IS_OKAY") != std::string::npos) return true;
    if (page.find("Leostream") != std::string::npos || page.find("leostream") != std::string::npos) {
        const std::string text = "Broker is not operational, still allowing connection";
        if (((debugComponentMask | traceComponentMask) & LogComponentMask::NET) != 0)
            logInformation(componentNames(LogComponentMask::NET, false) + ":" + text);
        else
            logWarning(text);
        return true;
    }
    return false;
}
