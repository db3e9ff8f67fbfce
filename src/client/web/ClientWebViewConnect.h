// The web view of the main window. It decides where the client starts (the
// connect dialog, the start server or the broker) and handles every page the
// main window loads: it leaves pages of foreign hosts, keeps the window
// geometry of sign-in and sign-out pages, recognises a server by its page
// marker, fills the server's sign-in form, hands the CSRF token to
// NativeClient, signs into the broker and gives the server's pages the
// js-bridge nonce.
#pragma once

#include "ClientWebView.h"

#include <QUrl>

class ConnectDialog;

class ClientWebViewConnect : public ClientWebView {
    Q_OBJECT

public:
    ClientWebViewConnect(QWidget* parent, ClientGLWidget* canvas, int viewId);
    ~ClientWebViewConnect() override;

    std::string logName() const;
    ConnectDialog* dialog() const { return connectDialog; }
    QUrl lastServerPage() const { return lastServerPageUrl; }

signals:
    void acceptConnect(QUrl& server);

public slots:
    void handleHTML(QString html);
    void handleLoadStarted();
    void handleLoadFinished(bool success);
    void accepted(QUrl& url);
    void rejected();

private:
    // Puts a fresh js-bridge nonce into the current page.
    void giveBridgeNonce();

    ConnectDialog* connectDialog = nullptr;
    QUrl lastServerPageUrl;
    // The page that got the nonce of the last load, if any.
    QUrl noncePage;
};

// The CSRF token of a page (the script's result) for NativeClient.
void storeCsrfToken(const QVariant& result);
