// Form filling in a real page: values with quotes, backslashes, line breaks
// and non-ASCII characters arrive unchanged, the focus moves on, missing
// elements leave the page alone, and the broker's sign-in form is filled
// and submitted by name or by id.
#include "PageForms.h"

#include "ClientConfig.h"
#include "ClientSettings.h"
#include "GuiApplication.h"
#include "LogCapture.h"
#include "PageServer.h"
#include "SettingsRegistry.h"

#include <Poco/AutoPtr.h>
#include <Poco/Util/MapConfiguration.h>

#include <QUrlQuery>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

class PageForms : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        ASSERT_TRUE(server.ready()) << server.output();
        view = std::make_unique<QWebEngineView>();
        QObject::connect(view.get(), &QWebEngineView::loadFinished, [this](bool ok) {
            if (ok) loadedPath = view->url().path().toStdString();
        });
        view->load(QUrl(QString::fromStdString(server.url("/form"))));
        ASSERT_TRUE(waitUntil([this] { return loadedPath == "/form"; }));
    }

    // The page's value of the expression, as text.
    std::string read(const std::string& expression) {
        return runScript(*view->page(), expression).toString().toStdString();
    }

    // The submitted query, once the form has been sent.
    QUrlQuery submitted() {
        EXPECT_TRUE(waitUntil([this] { return loadedPath == "/done"; }));
        return QUrlQuery(view->url());
    }

    PageServer server;
    std::unique_ptr<QWebEngineView> view;
    std::string loadedPath;
};

const std::string trickyLine = "o'neil \"quoted\" back\\slash \xC3\xBC</script>";
const std::string trickyText = "line one\nline two\r\n\ttab \xE2\x80\xA8 it's";

} // namespace

TEST_F(PageForms, ValuesArriveUnchangedAndTheFocusMovesOn) {
    setInputValueById(view.get(), "user-id", trickyLine, "password-id");
    setInputValueById(view.get(), "note", trickyText, "");
    setInputValueByName(view.get(), "password", "p'w\"\\", "submit");
    EXPECT_EQ(read("document.getElementById('user-id').value"), trickyLine);
    EXPECT_EQ(read("document.getElementById('note').value"), "line one\nline two\n\ttab \xE2\x80\xA8 it's");
    EXPECT_EQ(read("document.getElementById('password-id').value"), "p'w\"\\");
    EXPECT_EQ(read("document.activeElement.name"), "submit");
}

TEST_F(PageForms, OnlyTheFirstElementOfANameAndNoMissingElement) {
    setInputValueByName(view.get(), "user", "first", "");
    setInputValueById(view.get(), "no-such-field", "x", "");
    clickElementById(view.get(), "no-such-button");
    clickElementByName(view.get(), "no-such-button");
    // The value is set even when the next element is missing.
    setInputValueById(view.get(), "password-id", "set", "no-such-field");
    EXPECT_EQ(read("document.getElementsByName('user')[0].value + '|' + document.getElementsByName('user')[1].value"),
              "first|");
    EXPECT_EQ(read("document.getElementById('password-id').value"), "set");
    EXPECT_EQ(read("location.pathname"), "/form");
}

TEST_F(PageForms, BrokerFormIsFilledByNameAndSubmitted) {
    LogCapture log("trace");
    fillBrokerSignInForm(view.get(), "o'neil", "Pw0rd\"&=");
    const QUrlQuery query = submitted();
    EXPECT_EQ(query.allQueryItemValues("user", QUrl::FullyDecoded), (QStringList{"o'neil", ""}));
    EXPECT_EQ(query.queryItemValue("password", QUrl::FullyDecoded), QStringLiteral("Pw0rd\"&="));
    EXPECT_EQ(query.queryItemValue("submit"), QStringLiteral("go"));
    EXPECT_TRUE(log.contains("Setting broker user name to o'neil"));
    for (const std::string& line : log.texts()) EXPECT_EQ(line.find("Pw0rd"), std::string::npos) << line;
    EXPECT_TRUE(clientBrokerLeostreamUseGetByName.isRegistered());
    EXPECT_TRUE(clientBrokerLeostreamSubmitName.isRegistered());
}

TEST_F(PageForms, BrokerFormIsFilledByIdWhenSetSo) {
    static Poco::AutoPtr<Poco::Util::MapConfiguration> configuration(new Poco::Util::MapConfiguration);
    createClientConfig(configuration.get())->m_baseConfig = configuration.get();
    fillBrokerSignInForm(view.get(), "", ""); // registers and loads the settings
    ASSERT_TRUE(waitUntil([this] { return loadedPath == "/done"; }));
    view->load(QUrl(QString::fromStdString(server.url("/form"))));
    ASSERT_TRUE(waitUntil([this] { return loadedPath == "/form"; }));

    ASSERT_TRUE(clientBrokerLeostreamUseGetByName.setFromString("false"));
    ASSERT_TRUE(clientBrokerLeostreamUserNameField.setFromString("user-id"));
    ASSERT_TRUE(clientBrokerLeostreamPasswordNameField.setFromString("password-id"));
    ASSERT_TRUE(clientBrokerLeostreamSubmitName.setFromString("submit-id"));
    fillBrokerSignInForm(view.get(), "alice", "secret");
    const QUrlQuery query = submitted();
    EXPECT_EQ(query.allQueryItemValues("user"), (QStringList{"alice", ""}));
    EXPECT_EQ(query.queryItemValue("password"), QStringLiteral("secret"));
    const auto registered = registeredConfigEntries();
    int leostreamSettings = 0;
    for (const qor::ConfigEntry* entry : registered)
        if (entry->key().find("Client.Broker.Leostream.") == 0) ++leostreamSettings;
    EXPECT_EQ(leostreamSettings, 4);
}
