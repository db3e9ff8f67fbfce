#include "PageProbes.h"

#include "BrokerSession.h"
#include "FetchWatchdog.h"
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

std::string deadlineText(const FetchState& state) {
    return "Page not received within " + std::to_string(state.limits.deadline.count()) + " ms";
}

// The time the connect and the send may take: 12 s, or what is left of the
// whole fetch; none left ends the fetch.
Poco::Timespan nextStepTimeout(const FetchState& state) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(state.deadline - Clock::now());
    if (left.count() <= 0) throw Poco::TimeoutException(deadlineText(state));
    const auto step = std::min(left, stepTimeout);
    return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(step.count()) * 1000);
}

void appendLimited(std::string& body, const char* data, std::size_t size, const FetchState& state) {
    if (body.size() + size > state.limits.maxBodyBytes)
        throw Poco::DataException("Page larger than " + std::to_string(state.limits.maxBodyBytes) + " bytes");
    body.append(data, size);
}

std::string readBody(std::istream& stream, const FetchState& state) {
    stream.exceptions(std::ios::badbit);
    std::string body;
    char buffer[blockSize];
    while (stream) {
        stream.read(buffer, sizeof buffer);
        appendLimited(body, buffer, static_cast<std::size_t>(stream.gcount()), state);
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

bool isPageStatus(int status) { return (status >= 200 && status <= 299) || status == 403 || status == 500; }

bool isRedirectStatus(int status) { return status >= 301 && status <= 399; }

struct Answer {
    int status = 0;
    std::string location; // of a redirect that is to be followed
    std::string body;     // of a page
};

// Receives the answer to the request sent: the headers, and the body when
// the answer is the page. The watchdog ends it at the fetch's deadline.
Answer receiveAnswer(Poco::Net::HTTPClientSession& session, const FetchState& state, const std::string& uriText) {
    FetchWatchdog watchdog(session.socket(), state.deadline);
    try {
        Poco::Net::HTTPResponse response;
        std::istream& stream = session.receiveResponse(response);
        Answer answer;
        answer.status = static_cast<int>(response.getStatus());
        const std::streamsize length = response.getContentLength();
        if (isDebugEnabled())
            logDebug("Received response, URL '" + uriText + "', response status " + std::to_string(answer.status) +
                     ", size " + std::to_string(length));
        if (isRedirectStatus(answer.status) && state.redirects < maxRedirects) {
            answer.location = response.get("Location", "");
            if (!answer.location.empty()) return answer;
        } else if (!isPageStatus(answer.status) && !isRedirectStatus(answer.status)) {
            logError("Error fetching URL '" + uriText + "', response status " + std::to_string(answer.status) +
                     ", size " + std::to_string(length));
            return answer;
        }
        if (length != Poco::Net::HTTPMessage::UNKNOWN_CONTENT_LENGTH &&
            static_cast<std::size_t>(length) > state.limits.maxBodyBytes)
            throw Poco::DataException("Page larger than " + std::to_string(state.limits.maxBodyBytes) + " bytes");
        answer.body = readBody(stream, state);
        // A connection cut at the deadline ends the body like a peer's close.
        if (watchdog.expired()) throw Poco::TimeoutException(deadlineText(state));
        if (response.get("Content-Encoding", "") == "gzip") answer.body = inflateGzip(answer.body, state);
        return answer;
    } catch (const Poco::Exception&) {
        if (watchdog.expired()) throw Poco::TimeoutException(deadlineText(state));
        throw;
    }
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
        const Answer answer = receiveAnswer(*session, state, uriText);
        session.reset();
        if (!answer.location.empty()) {
            ++state.redirects;
            Poco::URI target(uri);
            target.resolve(answer.location);
            const std::string location = target.toString();
            if (isDebugEnabled()) logDebug("Redirect to '" + addressForLog(location) + "'");
            return fetchInto(location, page, state);
        }
        if (!isPageStatus(answer.status) && !isRedirectStatus(answer.status)) return false;
        page += answer.body;
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
