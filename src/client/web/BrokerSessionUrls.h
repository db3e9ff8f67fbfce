// The web side's forms of the BrokerSession operations: addresses as QUrl,
// texts as QString, and the tests that classify the addresses the browser
// meets. Defined in the Qt part of the web library.
#pragma once

#include <QString>
#include <QUrl>

#include <string>

class QWebEngineView;

QUrl brokerUrl();
QUrl serverUrl();
QUrl startServerUrl();

// Takes the address as the current server, as given.
void assignServerUrl(QUrl url);
// Normalises the text into the current server address (see BrokerSession.h).
bool setServerUrl(QString address, QString& error);

// Normalises the text into url; on failure url keeps its value.
bool normalizeUrl(QString address, QUrl& url, QString& error);

// The last segment of the fully decoded path is exactly the page name.
bool urlIsPage(const QUrl& url, std::string page);
// A page of the broker's host that is none of the server's own pages.
bool isBrokerHostPage(const QUrl& url);
bool isBrokerSignInPage(const QUrl& url);
bool isBrokerSignOutPage(const QUrl& url);
// Navigation test for broker pages (logs when true).
bool isBrokerUrl(const QUrl& url);
// Navigation test for the current server's pages (logs when false).
bool isServerUrl(const QUrl& url);
// The form of an address in log lines: credentials replaced by "-----",
// other query items dropped.
std::string maskedUrlText(const QUrl& url);

// Fills and submits the broker's sign-in form in the view's page.
void signIntoBroker(QWebEngineView* view, std::string userName, std::string password);
