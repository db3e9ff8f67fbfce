// The view's window modes and its inputs from the browser engine: full
// screen and kiosk mode (window state, page state and the injected
// controls), initial geometry, titles, the User-Agent without native
// decoding, the session cookie and the input-method keys.
#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ClientWebView.h"
#include "LogCapture.h"
#include "ServerConnectionValues.h"
#include "VHSupport.h"
#include "WebTestSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

#include <gtest/gtest.h>

#include <memory>

namespace {

class WindowModesTest : public ::testing::Test {
protected:
    void SetUp() override {
        useEmptyConfiguration();
        useClientWebViews();
    }
    void TearDown() override {
        if (HasFailure())
            for (const std::string& line : log_.texts()) std::printf("log: %s\n", line.c_str());
    }

    // A screen window with its view, showing a small page.
    void openWindow() {
        window_ = std::make_unique<ClientGLWidget>(false);
        window_->resize(800, 600);
        window_->show();
        view_ = qobject_cast<ClientWebView*>(window_->hostedView());
        ASSERT_NE(view_, nullptr);
        bool loaded = false;
        QObject::connect(view_, &QWebEngineView::loadFinished, [&loaded](bool) { loaded = true; });
        view_->setHtml("<html><body style='background: rgb(1, 2, 3)'><div id='fullscreen'>x</div>"
                       "<canvas id='canvas' width='100' height='50'></canvas></body></html>");
        ASSERT_TRUE(waitUntil([&loaded] { return loaded; }));
    }

    bool fullScreenWindow() const { return window_->windowState() & Qt::WindowFullScreen; }
    QString pageValue(const char* script) { return runScript(view_->page(), script).toString(); }

    LogCapture log_{"trace"};
    std::unique_ptr<ClientGLWidget> window_;
    ClientWebView* view_ = nullptr;
};

TEST_F(WindowModesTest, FullScreenTogglesWindowPageAndControls) {
    openWindow();
    EXPECT_FALSE(view_->isFullScreen());
    view_->enableFullScreen();
    EXPECT_TRUE(view_->isFullScreen());
    EXPECT_TRUE(fullScreenWindow());
    EXPECT_EQ(pageValue("String(document.mozFullScreen)"), "true");
    EXPECT_EQ(pageValue("document.mozFullscreenElement === document.body ? 'body' : 'other'"), "body");
    EXPECT_EQ(pageValue("document.getElementById('__ncfsExitBtn') ? 'button' : 'none'"), "button");
    EXPECT_EQ(pageValue("document.getElementById('__ncfsDialog').style.display"), "");

    view_->disableFullScreen();
    EXPECT_FALSE(view_->isFullScreen());
    EXPECT_FALSE(fullScreenWindow());
    EXPECT_EQ(pageValue("String(document.mozFullScreen)"), "false");
    EXPECT_EQ(pageValue("document.getElementById('__ncfsExitBtn') ? 'button' : 'none'"), "none");
    EXPECT_DOUBLE_EQ(view_->zoomFactor(), 1.0);

    // After a load in full screen the hint is there but not displayed.
    view_->enableFullScreen();
    view_->showFullScreenControls(false);
    EXPECT_EQ(pageValue("var d = document.querySelectorAll('#__ncfsDialog'); d[d.length - 1].style.display"), "none");
    EXPECT_EQ(pageValue("String(document.querySelectorAll('#__ncfsExitBtn').length)"), "1");
}

TEST_F(WindowModesTest, ControlF11TogglesFullScreenOnlyWithFocus) {
    openWindow();
    QObject target;
    QKeyEvent key(QEvent::KeyPress, Qt::Key_F11, Qt::ControlModifier);
    view_->clearFocus();
    QCoreApplication::sendEvent(&target, &key);
    EXPECT_FALSE(view_->isFullScreen());

    window_->activateWindow();
    view_->setFocus();
    ASSERT_TRUE(waitUntil([this] { return view_->hasFocus(); }));
    QCoreApplication::sendEvent(&target, &key);
    EXPECT_TRUE(view_->isFullScreen());
    EXPECT_TRUE(fullScreenWindow());
    QCoreApplication::sendEvent(&target, &key);
    EXPECT_FALSE(view_->isFullScreen());

    // A closing view swallows the key without effect.
    view_->detachCanvas();
    QCoreApplication::sendEvent(&target, &key);
    EXPECT_FALSE(view_->isFullScreen());
}

TEST_F(WindowModesTest, KioskModeStartsFullScreenWithoutControls) {
    clientKioskModeEnabled.get();
    ASSERT_TRUE(clientKioskModeEnabled.trySet(true));
    openWindow();
    EXPECT_TRUE(view_->isFullScreen());
    EXPECT_TRUE(fullScreenWindow());
    view_->handleLoadFinished(true);
    EXPECT_EQ(pageValue("String(typeof kioskmode !== 'undefined' && kioskmode)"), "true");
    EXPECT_EQ(pageValue("document.getElementById('__ncfsExitBtn') ? 'button' : 'none'"), "none");

    view_->disableFullScreen();
    EXPECT_FALSE(fullScreenWindow());
    EXPECT_TRUE(log_.contains("ClientDebug: fullscreencontrols not enabled."));
}

TEST_F(WindowModesTest, InitialGeometryIsSavedOnceAndRestored) {
    openWindow();
    EXPECT_TRUE(view_->saveInitialGeometry());
    EXPECT_FALSE(view_->saveInitialGeometry());
    EXPECT_EQ(initialGeometry.width, 800);
    EXPECT_EQ(initialGeometry.height, 600);

    view_->setInitialScreenSize(false);
    EXPECT_TRUE(waitUntil([this] { return window_->size() == QSize(780, 560); }));
    view_->setInitialScreenSize(true);
    EXPECT_TRUE(waitUntil([this] { return window_->size() == QSize(800, 600); }));
    EXPECT_FALSE(fullScreenWindow());
}

TEST_F(WindowModesTest, TitleCarriesAddressProductAndWarning) {
    openWindow();
    view_->updateWindowTitle(QUrl("http://server.example/quarrydesk.html"));
    EXPECT_EQ(window_->windowTitle().toStdString(), "http://server.example/quarrydesk.html - Quarrydesk Client 14.0.0");
    windowTitleWarning = "WARNING: OpenGL support missing";
    view_->updateWindowTitle(QUrl("http://server.example/"));
    EXPECT_EQ(window_->windowTitle().toStdString(),
              "WARNING: OpenGL support missing  -  http://server.example/ - Quarrydesk Client 14.0.0");
    windowTitleWarning.clear();
}

TEST_F(WindowModesTest, BackgroundColourOfThePageBecomesTheClearColour) {
    openWindow();
    view_->queryBackgroundColor();
    EXPECT_TRUE(waitUntil([this] { return log_.contains("enableTransparency() NOT called"); }));
    EXPECT_TRUE(log_.contains("background-color msg: '{\"red\":1,\"green\":2,\"blue\":3}'"));
}

TEST_F(WindowModesTest, UserAgentWithoutNativeDecodingHasNoBridgePort) {
    clientNativeDecoding.get();
    ASSERT_TRUE(clientNativeDecoding.trySet(false));
    openWindow();
    const std::string agent = view_->viewProfile()->httpUserAgent().toStdString();
    EXPECT_NE(agent.find("; decoder:WebGL; ) QorNet/4.3 "), std::string::npos) << agent;
    EXPECT_EQ(agent.find("bridgePort:"), std::string::npos) << agent;
    EXPECT_EQ(agent.substr(agent.size() - 6), " NoUSB");
}

TEST_F(WindowModesTest, UserAgentSaysUsbWhileForwardingIsOn) {
    vhIntegrationEnabled.store(true);
    openWindow();
    const std::string agent = view_->viewProfile()->httpUserAgent().toStdString();
    vhIntegrationEnabled.store(false);
    EXPECT_EQ(agent.substr(agent.size() - 4), " USB") << agent;
}

TEST_F(WindowModesTest, SessionCookiesOfEitherSchemeAreKept) {
    openWindow();
    struct Case {
        std::string name;
        std::string value;
        std::string kept;
    };
    const Case cases[] = {
        {sessionCookieName(true), "secure-id", "secure-id"},
        {"other", "ignored", "secure-id"},
        {sessionCookieName(false), "plain-id", "plain-id"},
    };
    for (const Case& c : cases) {
        view_->cookieAdded(QNetworkCookie(QByteArray::fromStdString(c.name), QByteArray::fromStdString(c.value)));
        EXPECT_EQ(qor::sessionCookieValue(), c.kept) << c.name;
    }
}

TEST_F(WindowModesTest, InputMethodKeysGoToTheServerAsPairs) {
    openWindow();
    struct Case {
        Qt::Key key;
        QEvent::Type type;
        int pairs;
    };
    const Case cases[] = {
        {Qt::Key_Eisu_toggle, QEvent::KeyRelease, 1}, {Qt::Key_Eisu_toggle, QEvent::KeyPress, 0},
        {Qt::Key_Katakana, QEvent::KeyPress, 1},      {Qt::Key_Katakana, QEvent::KeyRelease, 0},
        {Qt::Key_Hiragana, QEvent::KeyPress, 1},      {Qt::Key_Zenkaku_Hankaku, QEvent::KeyPress, 1},
        {Qt::Key_Hankaku, QEvent::KeyPress, 1},       {Qt::Key_Hankaku, QEvent::KeyRelease, 0},
    };
    // Any object of the process: the view filters the whole application.
    QObject target;
    for (const Case& c : cases) {
        log_.clear();
        QKeyEvent event(c.type, c.key, Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &event);
        // Without a server connection each key event is logged as not sent.
        EXPECT_EQ(log_.count("Not sending key, client not connected"), 2 * c.pairs) << c.key << " " << c.type;
    }
    log_.clear();
    QKeyEvent plain(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QCoreApplication::sendEvent(&target, &plain);
    EXPECT_EQ(log_.count("Not sending key"), 0);
}

} // namespace
