// Stand-ins for the broker and server session of the web side (session
// record, address tests, sign-in form scripts, server page marker, qdk
// scheme) until that code is part of the client. Names and signatures are
// the ones the web views call; this file goes when the real ones arrive.
#pragma once

#include <QString>
#include <QUrl>

#include <string>

class QWebEngineProfile;
class QWebEngineView;

QUrl brokerUrl();
QString brokerUrlText();
QUrl serverUrl();
QString serverUrlText();
QUrl startServerUrl();
std::string sessionUserName();
std::string sessionPassword();
std::string brokerUserName();
std::string brokerPassword();
bool ignoreCertificateErrors();
bool hasStartServerUrl();
bool isBrokerServiceEnabled();
bool isConnectedToBroker();
bool hasBrokerCredentials();
void assignServerUrl(QUrl url);
bool setServerUrl(QString url, QString& error);
void setConnectedToBroker();
void disconnectFromBroker();
void resetServerInformation();
void resetBrokerInformation();

bool urlIsPage(const QUrl& url, std::string page);
bool isBrokerHostPage(const QUrl& url);
bool isBrokerSignInPage(const QUrl& url);
bool isBrokerSignOutPage(const QUrl& url);
bool isBrokerUrl(const QUrl& url);
bool isServerUrl(const QUrl& url);
std::string maskedUrlText(const QUrl& url);

void signIntoBroker(QWebEngineView* view, std::string user, std::string password);
void setInputValueById(QWebEngineView* view, std::string id, std::string value, std::string next);
void clickElementById(QWebEngineView* view, std::string id);

bool hasServerPageMarker(const QString& html);
void installSchemeHandler(QWebEngineProfile* profile);
