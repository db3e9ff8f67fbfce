// Qt application for the web view tests (one per test process), waiting
// with a running event loop, and running a script in a page synchronously.
#pragma once

#include "QtWait.h"

#include <QString>
#include <QVariant>

#include <functional>

class QWebEnginePage;

// The script's result, or an invalid QVariant after the time-out.
QVariant runScript(QWebEnginePage* page, const QString& script, int timeoutMs = 20000);

#include <memory>
#include <string>

namespace Poco::Net {
class HTTPServer;
}

// An HTTP server on 127.0.0.1 that answers every GET with the same page
// (no server marker): a broker or a foreign site for the views.
class PlainPageServer {
public:
    explicit PlainPageServer(std::string body);
    ~PlainPageServer();
    int port() const { return port_; }

private:
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    int port_ = 0;
};

// Gives the settings an (empty) configuration, so that values set by a test
// stay; call before the first read of a setting.
void useEmptyConfiguration();
