// The qdk scheme: addresses rewritten to the server's http or https address
// with the query's credentials and options taken into the session, passwords
// only with an https broker and never in the log; and a real page load of a
// qdk address through the browser.
#include "ClientProtocolHandler.h"

#include "BrokerSession.h"
#include "GuiApplication.h"
#include "LogCapture.h"
#include "PageServer.h"

#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <gtest/gtest.h>

#include <string>

namespace {

struct RewriteCase {
    const char* broker; // "" for none
    const char* address;
    const char* target;
    const char* user;
    const char* password;
    const char* brokerUser;
    const char* brokerPassword;
    bool ignoreErrors;
    int errorLines;
};

const RewriteCase rewriteCases[] = {
    {"https://broker.example", "qdk://desk.example:8443/a/b?user=alice&password=Pw0rd1&secure",
     "https://desk.example:8443/a/b", "alice", "Pw0rd1", "", "", false, 0},
    {"http://broker.example", "qdk://desk.example:8443/a/b?user=alice&password=Pw0rd1&secure",
     "https://desk.example:8443/a/b", "alice", "", "", "", false, 2},
    {"", "qdk://desk.example:8443/a/b?user=alice&password=Pw0rd1&secure", "https://desk.example:8443/a/b", "alice",
     "", "", "", false, 2},
    {"https://broker.example", "qdk://desk.example:80/x", "http://desk.example:80/x", "", "", "", "", false, 0},
    {"https://broker.example", "qdk://desk.example:80/x?secure=0", "https://desk.example:80/x", "", "", "", "", false,
     0},
    {"", "qdk://desk.example/x", "https://desk.example/x", "", "", "", "", false, 0},
    {"", "qdk://h/?ignoreSSLError=false", "https://h/", "", "", "", "", true, 0},
    {"https://broker.example", "qdk://h/?user=u&password=Pw0rd2&global", "https://h/", "u", "Pw0rd2", "u", "Pw0rd2",
     false, 0},
    {"", "qdk://h/?user=a&username=b", "https://h/", "a", "", "", "", false, 0},
    {"", "qdk://h/?username=b", "https://h/", "b", "", "", "", false, 0},
    {"", "qdk://h/?user=first&user=second", "https://h/", "first", "", "", "", false, 0},
    {"https://broker.example", "qdk://h/?broker-user=bu&broker-password=Pw0rd%26x%3Dy%20z", "https://h/", "", "", "bu",
     "Pw0rd&x=y z", false, 0},
    {"http://broker.example", "qdk://h/?broker-user=bu&broker-password=Pw0rd3", "https://h/", "", "", "bu", "", false,
     2},
};

} // namespace

TEST(ProtocolHandler, QueryItemsGoIntoTheSessionAndTheQueryIsDropped) {
    ClientProtocolHandler handler;
    for (const RewriteCase& c : rewriteCases) {
        BrokerSession::instance() = BrokerSession();
        if (*c.broker) {
            ASSERT_TRUE(initBrokerUrl(c.broker));
        }
        LogCapture log("trace");
        const QUrl target = handler.rewriteUrl(QUrl(QString::fromLatin1(c.address)));
        EXPECT_EQ(target.toString().toStdString(), c.target) << c.address;
        EXPECT_FALSE(target.hasQuery()) << c.address;
        EXPECT_EQ(sessionUserName(), c.user) << c.address;
        EXPECT_EQ(sessionPassword(), c.password) << c.address;
        EXPECT_EQ(brokerUserName(), c.brokerUser) << c.address;
        EXPECT_EQ(brokerPassword(), c.brokerPassword) << c.address;
        EXPECT_EQ(ignoreCertificateErrors(), c.ignoreErrors) << c.address;
        EXPECT_EQ(log.count("parameter, which is only accepted over https client/broker connection.") +
                      log.count("Ignoring '"),
                  c.errorLines)
            << c.address;
        for (const std::string& line : log.texts()) EXPECT_EQ(line.find("Pw0rd"), std::string::npos) << line;
    }
}

TEST(ProtocolHandler, OnlyValidQdkAddressesAreHandled) {
    ClientProtocolHandler handler;
    LogCapture log("trace");
    EXPECT_TRUE(handler.validateUrl(QUrl("qdk://desk.example/")));
    EXPECT_FALSE(handler.validateUrl(QUrl("https://desk.example/?password=Pw0rd")));
    EXPECT_TRUE(log.contains("ProtocolHandler: Unsupported scheme 'https://desk.example/'"));
    EXPECT_FALSE(handler.validateUrl(QUrl("qdk://exa mple/", QUrl::StrictMode)));
    EXPECT_TRUE(log.contains("ProtocolHandler: Invalid URL '"));
    for (const std::string& line : log.texts()) EXPECT_EQ(line.find("Pw0rd"), std::string::npos) << line;
}

TEST(ProtocolHandler, BrowserFollowsAQdkAddressButRefusesAPostedForm) {
    ensureApplication();
    ASSERT_NE(clientProtocolHandler(), nullptr);
    EXPECT_EQ(clientProtocolHandler()->scheme().flags(), 0xE5);
    // Only a qdk address at port 80 becomes an http one: the page is served
    // there, on an address of its own.
    ASSERT_TRUE(ownNetworkNamespace());
    PageServer server("127.0.0.8", 80);
    ASSERT_TRUE(server.ready()) << server.output();
    BrokerSession::instance() = BrokerSession();

    LogCapture log("trace");
    installSchemeHandler(QWebEngineProfile::defaultProfile());
    EXPECT_TRUE(log.contains("ClientProtocolHandler installed for 'qdk'"));
    QWebEnginePage page;
    bool loaded = false;
    QObject::connect(&page, &QWebEnginePage::loadFinished, [&](bool ok) { loaded = ok; });
    page.load(QUrl("qdk://127.0.0.8:80/server?user=alice&password=Pw0rd&ignoreSSLError"));
    ASSERT_TRUE(waitUntil([&] { return loaded; })) << server.output();
    EXPECT_EQ(page.url().toString().toStdString(), "http://127.0.0.8/server");
    EXPECT_EQ(sessionUserName(), "alice");
    EXPECT_EQ(sessionPassword(), "");
    EXPECT_TRUE(ignoreCertificateErrors());
    EXPECT_TRUE(log.contains("ClientProtocolHandler called for 'qdk'"));

    // A form posted to a qdk address is refused before its query is read.
    log.clear();
    runScript(page, "document.body.innerHTML = '<form method=\"post\" action=\"qdk://127.0.0.8:80/server?user=mallory\">"
                    "<input name=\"a\" value=\"b\"></form>'; document.forms[0].submit(); true;");
    ASSERT_TRUE(waitUntil([&] { return log.contains("ClientProtocolHandler called for 'qdk'"); }));
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(sessionUserName(), "alice");
    EXPECT_FALSE(log.contains("ClientProtocolHandler created URL"));
    // No redirect: the page stays at the refused address.
    EXPECT_EQ(page.url().scheme(), QStringLiteral("qdk"));
}
