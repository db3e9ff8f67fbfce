// The Qt application of the web side's GUI tests: made once per process,
// after the qdk scheme is registered, with the browser's sandbox off (the
// tests run as root under Xvfb) and the history in a fresh data directory.
#pragma once

#include "QtWait.h"

#include <QString>
#include <QVariant>

#include <functional>
#include <string>

class QWebEnginePage;

// Creates the application on the first call.
void ensureApplication();
// Runs the script in the page and waits for its result.
QVariant runScript(QWebEnginePage& page, const std::string& script);
// The application's data directory of this test process.
std::string testDataDirectory();
