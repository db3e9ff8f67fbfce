// What the web view needs of the operating system, kept apart so that each
// platform supplies its own file (WebPlatform_<system>.cpp).
#pragma once

#include <QString>

class QKeyEvent;

// The system item of the User-Agent's parenthesis, without separators.
QString userAgentSystemText();

// The virtual-key number (240 to 244) of the Japanese input-method keys that
// the page never receives, or 0 for any other key.
int imeVirtualKey(const QKeyEvent& event);

// Chromium's sandbox cannot run for the super-user: switches it off in the
// environment of the browser engine when the process runs as root and
// nobody chose otherwise. Call before the application object exists.
void prepareBrowserEngineEnvironment();
