// Finding out what answers at an address before the browser shows it: the
// page is fetched outside the browser and a server is recognised by the
// marker comment in its pages, a connection broker by its alive probe.
// The calls block their caller (start-up and the connect dialog, on the
// main thread).
#pragma once

#include <Poco/Net/Context.h>

#include <chrono>
#include <cstddef>
#include <string>

// The comment that every page of the service's servers carries.
extern const char* const serverPageMarker;

// Bounds of one fetch, redirects included: the body after decompression,
// and the whole time from the first connect to the last byte. Each connect,
// send and receive also has its own 12 s time-out.
struct PageFetchLimits {
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
    std::chrono::milliseconds deadline{30000};
};

// The TLS client context of the HTTPS fetches; null until initSslContext.
extern Poco::Net::Context::Ptr fetchSslContext;

// GETs the address (following up to 3 redirects) with browser-like headers
// and appends the body of the final answer to page. True when a body was
// read; on failure page is left as it was.
bool fetchPage(std::string url, std::string& page);
bool fetchPage(std::string url, std::string& page, const PageFetchLimits& limits);
// Makes fetchSslContext and installs MyInvalidCertificateHandler for the
// client side of the process, once; true when the context exists.
bool initSslContext();
// True when the page of the address carries the server marker; the page
// text is fetched first when it is empty.
bool probeServer(std::string url, std::string& page);
// The marker test on HTML the browser loaded.
bool hasServerPageMarker(const std::string& html);
// True when the address's host answers as a connection broker
// ("/index.pl?action=is_alive" at the scheme's default port); the answer
// is appended to page, and the whole text is searched.
bool probeBroker(std::string url, std::string& page);

#ifdef QT_CORE_LIB
#include <QString>
// The marker test on the HTML of a page loaded in the browser.
inline bool hasServerPageMarker(const QString& html) { return html.contains(QLatin1String(serverPageMarker)); }
#endif
