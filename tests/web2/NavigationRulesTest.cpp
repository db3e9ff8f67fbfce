// Which navigations a client page follows: the current server's pages
// (recording scheme and port), broker pages, the broker's hand-over to a
// server and qdk addresses while a broker is in use; everything else is
// refused and hides the window.
#include "BrokerSession.h"
#include "ClientGLWidget.h"
#include "ClientWebPage.h"
#include "ClientWebView.h"
#include "LogCapture.h"
#include "NativeClient.h"
#include "ServerConnectionValues.h"
#include "WebTestSupport.h"

#include <QWebEngineProfile>

#include <gtest/gtest.h>

#include <memory>

namespace {

class TestPage : public ClientWebPage {
public:
    using ClientWebPage::ClientWebPage;
    bool navigate(const char* url) { return acceptNavigationRequest(QUrl(url), NavigationTypeLinkClicked, true); }
};

class NavigationRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        useClientWebViews();
        setCurrentServerHostHandler(qor::setCurrentServerUrl);
        window_ = std::make_unique<ClientGLWidget>(false);
        window_->show();
        view_ = qobject_cast<ClientWebView*>(window_->hostedView());
        ASSERT_NE(view_, nullptr);
        page_ = new TestPage(7, view_->viewProfile(), view_);
        view_->setPage(page_);
        std::string error;
        ASSERT_TRUE(setServerUrl(std::string("http://server.example:8080/"), error)) << error;
        qor::serverIsSecure = true;
        qor::serverPort = 0;
    }

    LogCapture log_{"debug"};
    std::unique_ptr<ClientGLWidget> window_;
    ClientWebView* view_ = nullptr;
    TestPage* page_ = nullptr;
};

TEST_F(NavigationRulesTest, ServerPagesOnlyWithoutBroker) {
    struct Case {
        const char* url;
        bool accepted;
        bool secure;
        int port;
        const char* logged;
    };
    // One sequence: each case starts from the state the one before left.
    const Case cases[] = {
        {"http://server.example:8080/signin.html", true, false, 8080, ": Changed to http session"},
        {"http://server.example:8080/quarrydesk.html", true, false, 8080, ": Running in http session"},
        {"https://server.example/quarrydesk.html", true, true, 443, ": Port changed from 8080 to 443"},
        {"https://server.example:8443/", true, true, 8443, ": Running in https session"},
        {"http://server.example/x", true, false, 80, ": Changed to http session"},
        // Another host, a qdk address without broker, a file: refused.
        {"http://other.example:8080/signin.html", false, false, 80, ": Invalid navigation request, hiding view"},
        {"qdk://server2.example/", false, false, 80, ": Invalid navigation request, hiding view"},
        {"file:///etc/passwd", false, false, 80, ": Invalid navigation request, hiding view"},
    };
    for (const Case& c : cases) {
        log_.clear();
        window_->show();
        EXPECT_EQ(page_->navigate(c.url), c.accepted) << c.url;
        EXPECT_EQ(window_->isVisible(), c.accepted) << c.url;
        EXPECT_EQ(qor::serverIsSecure.load(), c.secure) << c.url;
        EXPECT_EQ(qor::serverPort.load(), c.port) << c.url;
        EXPECT_TRUE(log_.contains(std::string("WebPage_7") + c.logged)) << c.url;
    }
    EXPECT_FALSE(isConnectedToBroker());
}

TEST_F(NavigationRulesTest, BrokerPagesHandOverToAServer) {
    ASSERT_TRUE(initBrokerUrl("https://broker.example/"));
    struct Case {
        const char* url;
        bool accepted;
        bool connected;
        const char* server;
    };
    const Case cases[] = {
        // The broker's own pages connect the session to the broker.
        {"https://broker.example/index.pl", true, true, "http://server.example:8080/"},
        // While connected, qdk addresses pass (the scheme handler rewrites them).
        {"qdk://server3.example/?user=a", true, true, "http://server.example:8080/"},
        // Another host becomes the current server and ends the broker state.
        {"https://desk.example:9443/signin.html", true, false, "https://desk.example:9443/signin.html"},
        // Not connected any more: qdk is judged by the server rule.
        {"qdk://server3.example/", false, false, "https://desk.example:9443/signin.html"},
        {"https://desk.example/quarrydesk.html", true, false, "https://desk.example:9443/signin.html"},
        // Back at the broker.
        {"https://broker.example/logout", true, true, "https://desk.example:9443/signin.html"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(page_->navigate(c.url), c.accepted) << c.url;
        EXPECT_EQ(isConnectedToBroker(), c.connected) << c.url;
        EXPECT_EQ(serverUrlText(), c.server) << c.url;
    }
    EXPECT_EQ(qor::NativeClient::instance()->currentServerUrl(), "desk.example");
    EXPECT_TRUE(log_.contains("Client signed out of broker"));
}

} // namespace
