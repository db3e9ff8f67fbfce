// The page's trust decision reaches the server connections: the demo server
// over https with a self-signed certificate, a real browser engine and its
// security warning answered as a user would. "Proceed Anyway" makes the
// native connections (js-bridge, NativeClient, control and video sockets,
// all in this process as the program wires them) accept exactly that
// certificate; "Abort (Recommended)" leaves nothing trusted.
#include "BrokerSession.h"
#include "CanvasRegistry.h"
#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ClientWebViewConnect.h"
#include "DemoFixture.h"
#include "JsBridge.h"
#include "LogCapture.h"
#include "NativeClient.h"
#include "QorCanvas.h"
#include "QorCanvasListEntry.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"
#include "WebTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWebEnginePage>

#include <memory>

namespace {

const char* const warningTitle = "Security Warning!  Your Connection is Not Private";

class CertificateTrustTest : public DemoFixture {
protected:
    void SetUp() override {
        server_ = startServer(ServerSetup(true));
        ASSERT_TRUE(server_->secure());
        useEmptyConfiguration();
        useClientWebViews();
        qor::ServerCertificateTrust::forgetAll();
    }

    void TearDown() override {
        answerer_.stop();
        qor::stopNativeClient();
        if (bridge_) bridge_->stopBridgeServer();
        {
            ScopedOwnerLock guard(qor::canvasRegistryLock);
            for (auto& entry : qor::canvasRegistry) delete entry.second;
            qor::canvasRegistry.clear();
        }
        window_.reset();
        if (HasFailure()) {
            for (const std::string& line : log_.texts()) std::printf("log: %s\n", line.c_str());
            std::printf("server: %s\n", server_->log().c_str());
        }
    }

    // The connection side as main sets it up: NativeClient, the js-bridge
    // (its port goes into the view's User-Agent) and the main canvas.
    void startConnectionSide() {
        static const bool registered = qor::StreamDecoder::registerDecoders();
        ASSERT_TRUE(registered);
        clientNativeDecoding.get();
        clientNativeDecoding.trySet(true);
        qor::NativeClient::instance()->start(-1);
        setCurrentServerHostHandler(qor::setCurrentServerUrl);
        bridge_ = std::make_unique<JsBridge>();
        ASSERT_TRUE(bridge_->startBridgeServer(qor::NativeClient::instance()));
    }

    // Opens the main window on the server, signing in as alice; the warning
    // box is answered with the button of that text.
    void openServer(const QString& answer) {
        std::string error;
        ASSERT_TRUE(initStartServerUrl(server_->announcedUrl(), error)) << error;
        BrokerSession::instance().sessionUserName = "alice";
        BrokerSession::instance().sessionPassword = "s3cret&x";
        answerer_.answer(answer);
        window_ = std::make_unique<ClientGLWidget>(true);
        window_->resize(800, 600);
        window_->show();
        window_->setCanvasId(qor::CANVAS_ID_UNASSIGNED);
        qor::addCanvas(window_.get());
        view_ = qobject_cast<ClientWebViewConnect*>(window_->hostedView());
        ASSERT_NE(view_, nullptr);
    }

    // Clicks a button of the security warning box whenever one is open.
    class WarningAnswerer {
    public:
        void answer(const QString& button) {
            button_ = button;
            timer_.setInterval(50);
            QObject::connect(&timer_, &QTimer::timeout, [this] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr || box->windowTitle() != warningTitle) return;
                for (QAbstractButton* candidate : box->buttons()) {
                    if (candidate->text() == button_) {
                        ++answered;
                        candidate->click();
                        return;
                    }
                }
            });
            timer_.start();
        }
        void stop() { timer_.stop(); }
        int answered = 0;

    private:
        QString button_;
        QTimer timer_;
    };

    LogCapture log_{"debug"};
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<JsBridge> bridge_;
    std::unique_ptr<ClientGLWidget> window_;
    ClientWebViewConnect* view_ = nullptr;
    WarningAnswerer answerer_;
};

TEST_F(CertificateTrustTest, ProceedAnywayLetsTheNativeConnectionsAcceptThatCertificate) {
    startConnectionSide();
    openServer("Proceed Anyway");
    ASSERT_TRUE(waitUntil([this] { return log_.contains("Session 0: Connected video socket"); }, 90000));
    EXPECT_GE(answerer_.answered, 1);

    const std::string fingerprint = certificateSha256Of(serverCertificate_.certificate);
    EXPECT_TRUE(log_.contains("Accepted the certificate of server '127.0.0.1' for its connections (SHA-256 " +
                              fingerprint + ")"));
    const qor::ServerCertificateTrust trust = qor::ServerCertificateTrust::forHost("127.0.0.1");
    EXPECT_FALSE(trust.ignoreErrors);
    EXPECT_EQ(trust.pinnedSha256, std::set<std::string>{fingerprint});
    EXPECT_TRUE(qor::serverIsSecure.load());
    EXPECT_TRUE(log_.contains("WebSocket https://127.0.0.1/ws/desktop/native-ctrl/"));
    EXPECT_FALSE(log_.contains("Refused the certificate"));
}

TEST_F(CertificateTrustTest, AbortTrustsNothing) {
    openServer("Abort (Recommended)");
    ASSERT_TRUE(waitUntil([this] { return answerer_.answered >= 1; }, 60000));
    processEventsFor(1000);
    EXPECT_FALSE(log_.contains("Accepted the certificate of server"));
    EXPECT_TRUE(qor::ServerCertificateTrust::forHost("127.0.0.1").pinnedSha256.empty());
    EXPECT_FALSE(view_->page()->url().path().endsWith("/signin.html"));
}

} // namespace
