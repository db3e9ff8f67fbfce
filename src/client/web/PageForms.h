// Filling and submitting forms in the page a web view shows, through the
// script texts of PageFormScripts.h. The scripts run later in the page's
// renderer, in the order handed over; their outcome is not observed.
#pragma once

#include <string>

class QWebEngineView;

void setInputValueById(QWebEngineView* view, const std::string& id, const std::string& value,
                       const std::string& next);
void setInputValueByName(QWebEngineView* view, const std::string& name, const std::string& value,
                         const std::string& next);
void clickElementById(QWebEngineView* view, const std::string& id);
void clickElementByName(QWebEngineView* view, const std::string& name);

// Fills the broker's sign-in form with the user name and password and
// submits it; the field names (or ids) come from the
// Client.Broker.Leostream settings. The password is never logged.
void fillBrokerSignInForm(QWebEngineView* view, std::string userName, std::string password);
