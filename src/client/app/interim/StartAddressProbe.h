// The blocking requests with which the start-up classifies the configured
// start address: a server page carries the server marker, a broker answers
// its alive probe.
#pragma once

#include <string>

// The marker comment of the server's pages.
extern const char* const serverPageMarker;

// A blocking GET of the address over HTTP or HTTPS (following up to five
// redirects) with browser-like headers; true with the body on status 200.
bool fetchPage(const std::string& url, std::string& body);
// True when the body (fetched first when empty) holds the server marker.
bool probeServer(const std::string& url, std::string body);
// GET of "/index.pl?action=is_alive" on the address's scheme and host;
// true when the answer begins "CB_IS_OKAY". The answer is left in body.
bool probeBroker(const std::string& url, std::string& body);
