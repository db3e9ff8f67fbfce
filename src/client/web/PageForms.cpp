#include "PageForms.h"

#include "ClientSettings.h"
#include "Logging.h"
#include "PageFormScripts.h"

#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

void runScript(QWebEngineView* view, const std::string& script) {
    if (view == nullptr || view->page() == nullptr) return;
    view->page()->runJavaScript(QString::fromStdString(script));
}

} // namespace

void setInputValueById(QWebEngineView* view, const std::string& id, const std::string& value,
                       const std::string& next) {
    runScript(view, inputValueByIdScript(id, value, next));
}

void setInputValueByName(QWebEngineView* view, const std::string& name, const std::string& value,
                         const std::string& next) {
    runScript(view, inputValueByNameScript(name, value, next));
}

void clickElementById(QWebEngineView* view, const std::string& id) { runScript(view, clickElementByIdScript(id)); }

void clickElementByName(QWebEngineView* view, const std::string& name) {
    runScript(view, clickElementByNameScript(name));
}

void fillBrokerSignInForm(QWebEngineView* view, std::string userName, std::string password) {
    componentDebug(LogComponentMask::BROKER | LogComponentMask::SMGNT | LogComponentMask::QTGUI,
                   "Setting broker user name to " + userName);
    static const bool registered = [] {
        clientBrokerLeostreamUserNameField.ensureRegistered(2);
        clientBrokerLeostreamPasswordNameField.ensureRegistered(2);
        clientBrokerLeostreamSubmitName.ensureRegistered(2);
        clientBrokerLeostreamUseGetByName.ensureRegistered(2);
        return true;
    }();
    (void)registered;
    const std::string userField = clientBrokerLeostreamUserNameField.get();
    const std::string passwordField = clientBrokerLeostreamPasswordNameField.get();
    const std::string submit = clientBrokerLeostreamSubmitName.get();
    if (clientBrokerLeostreamUseGetByName.get()) {
        setInputValueByName(view, userField, userName, passwordField);
        setInputValueByName(view, passwordField, password, submit);
        clickElementByName(view, submit);
    } else {
        setInputValueById(view, userField, userName, passwordField);
        setInputValueById(view, passwordField, password, submit);
        clickElementById(view, submit);
    }
}
