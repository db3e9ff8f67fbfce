// The scripts the client runs in its pages, and the builders of those that
// carry values. Every text put into a script goes in as a JSON string.
#pragma once

#include <QString>
#include <QUrl>

#include <string>

namespace PageScripts {

// Page geometry: the canvas element, the body's and the content's size.
extern const char* const canvasRect;
extern const char* const bodyScrollSize;
extern const char* const canvasPresence;
extern const char* const contentSize;
extern const char* const backgroundColor;
extern const char* const transparencyProbe;

// The CSRF token of the page's head, or nothing.
extern const char* const csrfToken;
// Hides the page's own full-screen control (jQuery).
extern const char* const hideFullScreenControl;
// Removes the injected full-screen controls.
extern const char* const removeFullScreenControls;
extern const char* const dispatchFullScreenChange;

// document.mozFullScreen and document.mozFullscreenElement for the state.
QString fullScreenState(bool on);
// The exit button and, displayed or not, the hint of the full-screen mode.
QString fullScreenControls(bool showHint);
// Tells the server's main page which broker the client came from.
QString brokerUrl(const QUrl& address);
// The nonce the page's next bridge WebSocket presents.
QString bridgeNonce(const std::string& nonce);

} // namespace PageScripts
