// The main window's view against the demo server in a real browser engine:
// it signs in with the configured credentials, reaches the desk page, hands
// the page's CSRF token to NativeClient, gives the server's page (and only
// it) the js-bridge nonce, announces the bridge port in its User-Agent and
// places the picture under the page's canvas element.
#include "BrokerSession.h"
#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ClientWebViewConnect.h"
#include "ConnectDialog.h"
#include "NativeClient.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionValues.h"
#include "DemoFixture.h"
#include "JsBridge.h"
#include "LogCapture.h"
#include "WebTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QJsonObject>
#include <QWebEnginePage>

#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

constexpr int fakeBridgePort = 45678;

class MainViewDemoTest : public DemoFixture {
protected:
    void TearDown() override {
        if (HasFailure())
            for (const std::string& line : log_.texts()) std::printf("log: %s\n", line.c_str());
        if (HasFailure() && server_) std::printf("server: %s\n", server_->log().c_str());
    }

    void SetUp() override {
        server_ = startServer(ServerSetup(false));
        useEmptyConfiguration();
        clientNativeDecoding.get();
        clientNativeDecoding.trySet(true);
        qor::bridgePort = fakeBridgePort;
        useClientWebViews();
    }

    // Starts the client as if given the address (and the credentials).
    void startClient(const std::string& address, const std::string& user = "alice",
                     const std::string& password = "s3cret&x") {
        std::string error;
        ASSERT_TRUE(initStartServerUrl(address, error)) << error;
        BrokerSession::instance().sessionUserName = user;
        BrokerSession::instance().sessionPassword = password;
        window_ = std::make_unique<ClientGLWidget>(true);
        window_->resize(1200, 800);
        window_->show();
        view_ = qobject_cast<ClientWebViewConnect*>(window_->hostedView());
        ASSERT_NE(view_, nullptr);
    }

    QString pagePath() const { return view_->page() ? view_->page()->url().path() : QString(); }

    bool onDeskPage() const {
        return pagePath().endsWith("/quarrydesk.html") && !qor::NativeClient::instance()->csrfToken().empty();
    }

    LogCapture log_{"debug"};
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<ClientGLWidget> window_;
    ClientWebViewConnect* view_ = nullptr;
};

TEST_F(MainViewDemoTest, SignsInAndHandsTheDeskPageItsTokens) {
    startClient(server_->announcedUrl());
    ASSERT_TRUE(waitUntil([this] { return onDeskPage(); }, 60000)) << pagePath().toStdString();

    const QVariant meta = runScript(view_->page(), "document.head.querySelector('meta[name=\"CSRFToken\"]').content");
    EXPECT_EQ(qor::NativeClient::instance()->csrfToken(), meta.toString().toStdString());

    ASSERT_TRUE(waitUntil([this] {
        return runScript(view_->page(), "typeof gJSBridgeNonce === 'string' ? gJSBridgeNonce : ''").toString() != "";
    }));
    EXPECT_EQ(runScript(view_->page(), "gJSBridgeNonce").toString().toStdString(), qor::bridgeNonce());
    EXPECT_EQ(qor::bridgeNonce().size(), 43u);

    const std::string agent = runScript(view_->page(), "navigator.userAgent").toString().toStdString();
    EXPECT_NE(agent.find("decoder:Native; bridgePort:" + std::to_string(fakeBridgePort) + ")"), std::string::npos)
        << agent;
    EXPECT_EQ(agent.rfind("QuarrydeskClient/14.0 (Linux ", 0), 0u) << agent;
    EXPECT_NE(agent.find(") QorNet/4.3 "), std::string::npos) << agent;

    EXPECT_FALSE(qor::serverIsSecure.load());
    EXPECT_EQ(qor::serverPort.load(), server_->port());
    EXPECT_EQ(view_->lastServerPage().path().toStdString(), "/quarrydesk.html");
}

TEST_F(MainViewDemoTest, CanvasElementSetsTheViewport) {
    startClient(server_->announcedUrl());
    ASSERT_TRUE(waitUntil([this] { return onDeskPage(); }, 60000)) << pagePath().toStdString();
    runScript(view_->page(),
              "var c = document.getElementById('canvas'); c.style.position = 'absolute'; c.style.left = '10.5px';"
              "c.style.top = '20px'; c.style.width = '320px'; c.style.height = '180px';"
              "c.style.background = 'rgb(9, 9, 9)'; true;");

    auto expected = [this] {
        const QVariant rect = runScript(view_->page(),
                                        "var r = document.getElementById('canvas').getBoundingClientRect();"
                                        "JSON.stringify({left: r.left, bottom: r.bottom, width: r.width, height: "
                                        "r.height});");
        const QJsonObject o = QJsonDocument::fromJson(rect.toString().toUtf8()).object();
        const double z = view_->zoomFactor();
        return QRect(int(std::lround(z * o["left"].toDouble())),
                     window_->height() - int(std::lround(z * o["bottom"].toDouble())),
                     int(std::lround(z * o["width"].toDouble())), int(std::lround(z * o["height"].toDouble())));
    };
    QRect want;
    EXPECT_TRUE(waitUntil([&] {
        want = expected();
        view_->update();
        return window_->viewportRect() == want;
    }))
        << "viewport " << window_->viewportRect().x() << "," << window_->viewportRect().y() << " "
        << window_->viewportRect().width() << "x" << window_->viewportRect().height() << ", want " << want.x() << ","
        << want.y() << " " << want.width() << "x" << want.height();
    EXPECT_EQ(want.x(), 11);
    EXPECT_EQ(want.width(), 320);
    EXPECT_EQ(want.height(), 180);

    // Without the element the picture is not drawn. (The geometry is measured
    // when the page paints: the page changes visibly.)
    runScript(view_->page(), "document.getElementById('canvas').remove();"
                             "document.body.appendChild(document.createTextNode('no canvas')); true;");
    EXPECT_TRUE(waitUntil([this] {
        view_->update();
        return window_->viewportRect() == QRect(0, window_->height(), 0, 0);
    }));
}

// With the ignore flag an untrusted certificate loads the page without
// asking; the session then runs over https at the server's port, and the
// server connections check no certificate either.
TEST(MainViewHttpsTest, IgnoredCertificateErrorLoadsThePage) {
    class Https : public DemoFixture {
    public:
        void TestBody() override {}
        std::unique_ptr<DemoServerProcess> start() { return startServer(ServerSetup(true)); }
    } fixture;
    std::unique_ptr<DemoServerProcess> server = fixture.start();
    ASSERT_TRUE(server->secure());
    useEmptyConfiguration();
    useClientWebViews();
    LogCapture log("debug");
    std::string error;
    ASSERT_TRUE(initStartServerUrl(server->announcedUrl(), error)) << error;
    BrokerSession::instance().ignoreCertificateErrors = true;
    auto window = std::make_unique<ClientGLWidget>(true);
    window->show();
    auto* view = qobject_cast<ClientWebViewConnect*>(window->hostedView());
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(waitUntil([&] { return view->page()->url().path().endsWith("/signin.html"); }, 60000));
    EXPECT_TRUE(log.contains("Ignoring SSL certificateError"));
    EXPECT_TRUE(qor::serverIsSecure.load());
    EXPECT_EQ(qor::serverPort.load(), server->port());
    EXPECT_TRUE(qor::ServerCertificateTrust::forHost("127.0.0.1").ignoreErrors);
}

// window.open from the web client opens a screen window that takes its
// screen number from the page address; closing it ends its view.
TEST_F(MainViewDemoTest, WindowOpenMakesAScreenWindow) {
    startClient(server_->announcedUrl());
    ASSERT_TRUE(waitUntil([this] { return onDeskPage(); }, 60000)) << pagePath().toStdString();
    runScript(view_->page(), "window.open('quarrydesk.html?screen=0', 'screen0'); true;");
    ClientGLWidget* screen = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* candidate = qobject_cast<ClientGLWidget*>(widget);
            if (candidate != nullptr && candidate != window_.get() && candidate->canvasId() == 0) screen = candidate;
        }
        return screen != nullptr;
    }));
    EXPECT_TRUE(screen->isVisible());
    QPointer<QWidget> screenView = screen->hostedView();
    ASSERT_TRUE(screenView);
    EXPECT_EQ(qobject_cast<ClientWebView*>(screenView.data())->page()->url().query().toStdString(), "screen=0");
    // The opener keeps its page.
    EXPECT_TRUE(pagePath().endsWith("/quarrydesk.html"));

    screen->close();
    EXPECT_TRUE(waitUntil([&] { return screenView.isNull(); }));
    EXPECT_TRUE(screen->isClosing());
}

// Without a start address the view waits for the connect dialog; a failed
// load offers the address again with an error, a server page closes the
// dialog and writes the history.
TEST_F(MainViewDemoTest, ConnectDialogLeadsToTheServer) {
    setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    window_ = std::make_unique<ClientGLWidget>(true);
    window_->show();
    view_ = qobject_cast<ClientWebViewConnect*>(window_->hostedView());
    ASSERT_NE(view_, nullptr);
    ConnectDialog* dialog = view_->dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->isVisible());
    processEventsFor(500);
    EXPECT_TRUE(view_->url().isEmpty());

    const int closedPort = freeLoopbackPort();
    QUrl unreachable(QString("http://127.0.0.1:%1/").arg(closedPort));
    std::string error;
    ASSERT_TRUE(setServerUrl(unreachable.toString().toStdString(), error));
    emit dialog->acceptConnect(unreachable);
    ASSERT_TRUE(waitUntil([&] { return dialog->isVisible(); }));
    EXPECT_EQ(dialog->currentText(), unreachable.toString());
    // (The log form of an address names any port but 80 as https.)
    EXPECT_TRUE(log_.contains("WebViewCnct_0: Failed to load URL: 'https://127.0.0.1:" + std::to_string(closedPort)));

    QUrl server(QString::fromStdString(server_->announcedUrl()));
    ASSERT_TRUE(setServerUrl(server.toString().toStdString(), error));
    dialog->connectWithRetry(server);
    emit dialog->acceptConnect(server);
    ASSERT_TRUE(waitUntil([&] { return !dialog->isVisible(); }));
    EXPECT_TRUE(pagePath().endsWith("/signin.html"));
    QFile history(ConnectDialog::historyFilePath());
    ASSERT_TRUE(history.open(QIODevice::ReadOnly));
    EXPECT_TRUE(history.readAll().startsWith(server.toString().toUtf8()));
}

// A broker's page never gets the nonce; the server's page the broker leads
// to does.
TEST_F(MainViewDemoTest, OnlyTheServersPageGetsTheBridgeNonce) {
    PlainPageServer broker("<html><body><a id=\"go\" href=\"" + server_->announcedUrl() +
                           "\">server</a></body></html>");
    const std::string brokerAddress = "http://localhost:" + std::to_string(broker.port()) + "/";
    ASSERT_TRUE(initBrokerUrl(brokerAddress));
    // Broker pages take the server's credentials from the settings again.
    clientUsername.get();
    clientPassword.get();
    ASSERT_TRUE(clientUsername.setFromString("alice"));
    ASSERT_TRUE(clientPassword.setFromString("s3cret&x"));
    window_ = std::make_unique<ClientGLWidget>(true);
    window_->show();
    view_ = qobject_cast<ClientWebViewConnect*>(window_->hostedView());
    ASSERT_NE(view_, nullptr);
    ASSERT_TRUE(waitUntil([this] { return isConnectedToBroker() && view_->page()->url().host() == "localhost"; }));
    processEventsFor(1000);
    EXPECT_EQ(runScript(view_->page(), "typeof gJSBridgeNonce").toString().toStdString(), "undefined");

    runScript(view_->page(), "document.getElementById('go').click(); true;");
    ASSERT_TRUE(waitUntil([this] { return onDeskPage(); }, 60000)) << pagePath().toStdString();
    EXPECT_FALSE(isConnectedToBroker());
    ASSERT_TRUE(waitUntil([this] {
        return runScript(view_->page(), "typeof gJSBridgeNonce === 'string' ? gJSBridgeNonce : ''").toString() != "";
    }));
    EXPECT_EQ(runScript(view_->page(), "gJSBridgeNonce").toString().toStdString(), qor::bridgeNonce());
}

} // namespace
