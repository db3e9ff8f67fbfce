// The pages, script and style sheet that the demo server serves.
#pragma once

#include <string>

// The comment by which the client recognises the server's pages.
extern const char* const kServerPageMarker;

std::string signInPage(const std::string& notice);
std::string guestSignInPage(const std::string& notice);
std::string signedOutPage();
// The desk page: screen -1 for the main window (it talks to the server and
// the client), 0 and up for the page of a screen window.
std::string deskPage(const std::string& csrfToken, int screen, int width, int height);
const std::string& pageScript();
const std::string& styleSheet();
