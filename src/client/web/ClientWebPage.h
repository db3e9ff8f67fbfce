// Every page shown in a client window. It decides which navigations the
// browser may follow (broker pages, the broker's hand-over to a server, qdk
// addresses while a broker is in use, pages of the current server) and
// records the server's scheme and port; it answers certificate errors,
// opens a screen window for window.open and logs the page's console.
#pragma once

#include <QUrl>
#include <QWebEnginePage>

#include <string>

class ClientWebPage : public QWebEnginePage {
public:
    ClientWebPage(int viewId, QWebEngineProfile* profile, QObject* parent);
    ~ClientWebPage() override;

    std::string logName() const;

protected:
    QWebEnginePage* createWindow(WebWindowType type) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int lineNumber,
                                  const QString& sourceId) override;
    bool certificateError(const QWebEngineCertificateError& error) override;
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private:
    // The window that holds this page's view, if any.
    QWidget* canvasWindow() const;
    bool acceptServerPage(const QUrl& url);

    const int viewId;
};

// Tells the server's main page the broker address.
void setBrokerUrlInPage(QWebEnginePage* page, QUrl brokerUrl);
