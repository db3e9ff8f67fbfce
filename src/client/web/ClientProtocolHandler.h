// The handler of the qdk URL scheme. A qdk address carries a server address
// together with credentials and options; the handler takes them into the
// broker session and redirects the browser to the plain http or https
// address of the server, without any query.
#pragma once

#include <QUrl>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

class QWebEngineProfile;
class QWebEngineUrlRequestJob;

class ClientProtocolHandler : public QWebEngineUrlSchemeHandler {
public:
    ClientProtocolHandler();
    ~ClientProtocolHandler() override;

    void requestStarted(QWebEngineUrlRequestJob* job) override;

    // A valid address of the scheme qdk (logs why not).
    bool validateUrl(const QUrl& url);
    // The server address to go to; stores the query's credentials and
    // options in the broker session on the way.
    QUrl rewriteUrl(const QUrl& url);

    const QWebEngineUrlScheme& scheme() const { return scheme_; }

private:
    QWebEngineUrlScheme scheme_;
};

// Makes the process-wide handler and registers the scheme with the browser
// engine; must run before the Qt application object exists. Once only.
void registerUrlScheme();
// Installs the process-wide handler on the profile.
void installSchemeHandler(QWebEngineProfile* profile);
// The process-wide handler, null before registerUrlScheme.
ClientProtocolHandler* clientProtocolHandler();
