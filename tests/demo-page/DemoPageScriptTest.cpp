// The desk page's script in a real browser engine (Qt WebEngine): it reads
// the bridge port from the User-Agent, waits for gJSBridgeNonce, opens the
// bridge WebSocket at the prefixed path with its client id and nonce, and
// relays control messages between the demo server and the bridge.
#include "DemoFixture.h"

#include <Poco/Buffer.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/URI.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace {

// A stand-in for the client's js-bridge: accepts one WebSocket on any path
// and keeps what the page sends.
class FakeBridge {
public:
    FakeBridge() : socket_(Poco::Net::SocketAddress("127.0.0.1", 0)) {
        server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory(*this), socket_, new Poco::Net::HTTPServerParams);
        server_->start();
    }
    // The server's stop does not wait for the connection's handler, which
    // uses this object: the handler is waited for.
    ~FakeBridge() {
        stopping_ = true;
        server_->stopAll(true);
        std::unique_lock<std::mutex> lock(mutex_);
        handlerEnded_.wait(lock, [this] { return handlers_ == 0; });
    }
    int port() const { return socket_.address().port(); }
    std::string path() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return path_;
    }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // How many of the page's messages hold the fragment.
    int count(const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [&](const std::string& m) {
            return m.find(fragment) != std::string::npos;
        }));
    }
    bool send(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!socket_ws_) return false;
        socket_ws_->sendFrame(text.data(), static_cast<int>(text.size()), Poco::Net::WebSocket::FRAME_TEXT);
        return true;
    }

private:
    struct Handler : Poco::Net::HTTPRequestHandler {
        explicit Handler(FakeBridge& bridge) : bridge_(bridge) {
            std::lock_guard<std::mutex> lock(bridge_.mutex_);
            ++bridge_.handlers_;
        }
        ~Handler() override {
            std::lock_guard<std::mutex> lock(bridge_.mutex_);
            --bridge_.handlers_;
            bridge_.handlerEnded_.notify_all();
        }
        void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
            Poco::Net::WebSocket ws(request, response);
            {
                std::lock_guard<std::mutex> lock(bridge_.mutex_);
                bridge_.path_ = Poco::URI(request.getURI()).getPath();
                bridge_.socket_ws_ = &ws;
            }
            Poco::Buffer<char> buffer(0);
            try {
                while (!bridge_.stopping_) {
                    if (!ws.poll(Poco::Timespan(0, 100000), Poco::Net::Socket::SELECT_READ)) continue;
                    int flags = 0;
                    buffer.resize(0);
                    const int n = ws.receiveFrame(buffer, flags);
                    if ((flags & Poco::Net::WebSocket::FRAME_OP_BITMASK) == Poco::Net::WebSocket::FRAME_OP_CLOSE ||
                        n <= 0)
                        break;
                    std::lock_guard<std::mutex> lock(bridge_.mutex_);
                    bridge_.messages_.emplace_back(buffer.begin(), static_cast<std::size_t>(n));
                }
            } catch (const Poco::Exception&) {
                // A reset connection ends like a closed one.
            }
            std::lock_guard<std::mutex> lock(bridge_.mutex_);
            bridge_.socket_ws_ = nullptr;
        }
        FakeBridge& bridge_;
    };
    struct Factory : Poco::Net::HTTPRequestHandlerFactory {
        explicit Factory(FakeBridge& bridge) : bridge_(bridge) {}
        Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
            return new Handler(bridge_);
        }
        FakeBridge& bridge_;
    };

    Poco::Net::ServerSocket socket_;
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable handlerEnded_;
    int handlers_ = 0;
    std::string path_;
    std::vector<std::string> messages_;
    Poco::Net::WebSocket* socket_ws_ = nullptr;
};

// Runs the Qt event loop until the condition holds or 30 s have passed.
bool waitUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 30000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A device list as the client sends it: a mouse to connect, a stick in
// use, and a keyboard the server does not allow.
const std::string threeDevices =
    R"({"VHDevList":[)"
    R"({"VHDevAddress":"1-1","VHDevEnabled":1,"VHDevPath":"p","VHDevPrettyName":"USB Optical Mouse","VHDevProductId":1,"VHDevState":1,"VHDevVendorId":2},)"
    R"({"VHDevAddress":"1-2","VHDevEnabled":1,"VHDevPath":"p","VHDevPrettyName":"Cruzer Blade","VHDevProductId":1,"VHDevState":2,"VHDevVendorId":2},)"
    R"({"VHDevAddress":"1-3","VHDevEnabled":0,"VHDevPath":"p","VHDevPrettyName":"Natural Ergonomic Keyboard","VHDevProductId":1,"VHDevState":1,"VHDevVendorId":2}],)"
    R"("VHErrCode":0,"VHErrMsg":"","VHErrType":0,"type":325})";

QString runScript(QWebEnginePage& page, const QString& script) {
    QString result;
    bool done = false;
    page.runJavaScript(script, [&](const QVariant& value) {
        result = value.toString();
        done = true;
    });
    waitUntil([&] { return done; });
    return result;
}

class DemoPageScriptTest : public DemoFixture {
protected:
    void SetUp() override {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        static int argc = 1;
        static char name[] = "demo_page_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        server_ = startServer(ServerSetup(false, "/a/b"));
    }
    void TearDown() override {
        page_.reset();
        profile_.reset();
    }

    // Loads the sign-in page with the given User-Agent, signs in through the
    // form as the client does, and waits for the desk page.
    void signInWithAgent(const QString& userAgent) {
        profile_ = std::make_unique<QWebEngineProfile>();
        profile_->setHttpUserAgent(userAgent);
        QObject::connect(profile_->cookieStore(), &QWebEngineCookieStore::cookieAdded,
                         [this](const QNetworkCookie& cookie) {
                             if (cookie.name() == "httpSID") sessionCookie_ = cookie.value().toStdString();
                         });
        page_ = std::make_unique<QWebEnginePage>(profile_.get());
        QObject::connect(page_.get(), &QWebEnginePage::loadFinished, [this](bool ok) {
            if (ok) loadedPath_ = page_->url().path().toStdString();
        });
        page_->load(QUrl(QString::fromStdString(server_->announcedUrl() + "signin.html")));
        ASSERT_TRUE(waitUntil([this] { return loadedPath_ == "/a/b/signin.html"; }));
        runScript(*page_,
                  "document.getElementById('inputUsername').value = 'alice';"
                  "document.getElementById('inputPassword').value = 's3cret&x';"
                  "document.getElementById('signin-btn').click(); true;");
        ASSERT_TRUE(waitUntil([this] { return loadedPath_ == "/a/b/quarrydesk.html"; }));
        ASSERT_FALSE(sessionCookie_.empty());
    }

    // Signs in as a client that shares USB devices through the bridge,
    // shows the page in the view when one is given (a window of 1280x320),
    // hands the page its nonce and waits until it has opened the bridge;
    // then opens the client's control socket for the page's client id (read
    // from the bridge's path) with a ticket of the browser's session.
    void openUsbDesk(FakeBridge& bridge, QWebEngineView* view, std::unique_ptr<Poco::Net::WebSocket>& control) {
        signInWithAgent(QString("QuarrydeskClient/14.0 (Windows NT 10.0; decoder:Native; bridgePort:%1) QorNet/4.3 "
                                "Mozilla/5.0 USB")
                            .arg(bridge.port()));
        if (view) {
            view->setPage(page_.get());
            view->resize(1280, 320);
            view->show();
        }
        runScript(*page_, "gJSBridgeNonce=\"n0nce\";");
        ASSERT_TRUE(waitUntil([&] { return !bridge.path().empty(); }));
        const std::string rest = bridge.path().substr(std::string("/a/b/ws/desktop/").size());
        DemoPeer client(*server_, "/a/b");
        client.useSession(sessionCookie_);
        control = client.connectDesktopSocket(controlPath(rest.substr(0, rest.find('/'))));
    }

    std::unique_ptr<QApplication> app_;
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<QWebEngineProfile> profile_;
    std::unique_ptr<QWebEnginePage> page_;
    std::string loadedPath_;
    std::string sessionCookie_;
};

TEST_F(DemoPageScriptTest, RelaysBetweenServerAndBridge) {
    FakeBridge bridge;
    signInWithAgent(QString("QuarrydeskClient/14.0 (Windows NT 10.0; decoder:Native; bridgePort:%1) QorNet/4.3 "
                            "Mozilla/5.0 NoUSB")
                        .arg(bridge.port()));
    // The page opens the bridge only once the client gave it a nonce.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
    EXPECT_TRUE(bridge.path().empty());
    runScript(*page_, "gJSBridgeNonce=\"n0nce-_43\";");
    ASSERT_TRUE(waitUntil([&] { return !bridge.path().empty(); }));

    const std::string path = bridge.path();
    const std::string start = "/a/b/ws/desktop/";
    ASSERT_EQ(0u, path.find(start)) << path;
    const std::string rest = path.substr(start.size());
    ASSERT_EQ("/n0nce-_43", rest.substr(rest.find('/'))) << path;
    const std::string clientId = rest.substr(0, rest.find('/'));

    // The client's part: a ticket with the browser's cookie, then the control socket.
    DemoPeer client(*server_, "/a/b");
    client.useSession(sessionCookie_);
    auto control = client.connectDesktopSocket(controlPath(clientId));
    ASSERT_TRUE(waitUntil([&] { return bridge.messages().size() >= 4; }));
    const std::vector<int> expectedTypes{100, 101, 12, 102};
    const auto messages = bridge.messages();
    for (std::size_t i = 0; i < expectedTypes.size(); ++i) {
        Poco::JSON::Parser parser;
        auto message = parser.parse(messages[i]).extract<Poco::JSON::Object::Ptr>();
        EXPECT_EQ(expectedTypes[i], message->getValue<int>("type")) << messages[i];
        if (expectedTypes[i] == 100) {
            EXPECT_EQ(clientId, message->getValue<std::string>("ClntID"));
        }
    }
    EXPECT_EQ("Connected", runScript(*page_, "document.getElementById('status').textContent").toStdString());

    ASSERT_TRUE(bridge.send("{\"NativeClientFeatures\":1,\"type\":960}"));
    EXPECT_TRUE(waitUntil([&] { return server_->log().find("\"type\":960") != std::string::npos; })) << server_->log();
    // The tunnel controls: the server relays TUN_CTRL for the named tunnel.
    auto tunnelMessages = [&](const std::string& command) {
        int n = 0;
        for (const auto& m : bridge.messages())
            if (m.find("\"type\":300") != std::string::npos && m.find("\"TunnelId\":\"site/a\"") != std::string::npos &&
                m.find("\"TunnelCmd\":" + command) != std::string::npos)
                ++n;
        return n;
    };
    runScript(*page_, "document.getElementById('tunnel-name').value = 'site/a';"
                      "document.getElementById('tunnel-up').click(); true;");
    EXPECT_TRUE(waitUntil([&] { return tunnelMessages("0") == 1; })) << server_->log();
    runScript(*page_, "document.getElementById('tunnel-down').click(); true;");
    EXPECT_TRUE(waitUntil([&] { return tunnelMessages("1") == 1; })) << server_->log();
}

// USB sharing on the page: it asks a client that shares USB devices for
// them once the server is known, lists what the client sends with Connect
// and Disconnect as each device's state allows, sends the user's requests to
// the client, and shows error reports and the server's USB lines with their
// reasons.
TEST_F(DemoPageScriptTest, ListsUsbDevicesAndSendsConnectAndDisconnect) {
    FakeBridge bridge;
    std::unique_ptr<Poco::Net::WebSocket> control;
    ASSERT_NO_FATAL_FAILURE(openUsbDesk(bridge, nullptr, control));
    ASSERT_TRUE(waitUntil([&] { return bridge.count("{\"type\":324}") == 1; }));
    EXPECT_EQ(bridge.messages().at(1), "{\"type\":324}") << "right after the client id";

    ASSERT_TRUE(bridge.send(
        R"({"VHDevList":[)"
        R"({"VHDevAddress":"1-1","VHDevEnabled":1,"VHDevPath":"p","VHDevPrettyName":"USB Optical Mouse","VHDevProductId":1,"VHDevState":1,"VHDevVendorId":2},)"
        R"({"VHDevAddress":"1-2","VHDevEnabled":0,"VHDevPath":"p","VHDevPrettyName":"Cruzer Blade","VHDevProductId":1,"VHDevState":0,"VHDevVendorId":2},)"
        R"({"VHDevAddress":"1-3","VHDevEnabled":1,"VHDevPath":"p","VHDevPrettyName":"Keyboard","VHDevProductId":1,"VHDevState":3,"VHDevVendorId":2}],)"
        R"("VHErrCode":0,"VHErrMsg":"","VHErrType":0,"type":325})"));
    const QString rows = "Array.from(document.querySelectorAll('#usb-devices tbody tr')).map(function (row) {"
                         "  var cells = row.querySelectorAll('td');"
                         "  return [cells[0].textContent, cells[1].textContent, cells[2].textContent,"
                         "          row.querySelector('.usb-connect').disabled ? 'no connect' : 'connect',"
                         "          row.querySelector('.usb-disconnect').disabled ? 'no disconnect' : 'disconnect']"
                         "         .join('|'); }).join('; ')";
    ASSERT_TRUE(waitUntil([&] { return !runScript(*page_, rows).isEmpty(); }));
    EXPECT_EQ(runScript(*page_, rows).toStdString(),
              "USB Optical Mouse|1-1|exported|connect|no disconnect; "
              "Cruzer Blade|1-2|discovered, not allowed by the server|no connect|no disconnect; "
              "Keyboard|1-3|bind requested|no connect|disconnect");
    EXPECT_EQ(runScript(*page_, "document.getElementById('usb-status').textContent").toStdString(), "3 device(s)");

    runScript(*page_, "document.querySelector('tr[data-address=\"1-1\"] .usb-connect').click(); true;");
    EXPECT_TRUE(waitUntil([&] { return bridge.count(R"({"type":326,"VHDevAddress":"1-1"})") == 1; }));
    runScript(*page_, "document.querySelector('tr[data-address=\"1-3\"] .usb-disconnect').click(); true;");
    EXPECT_TRUE(waitUntil([&] { return bridge.count(R"({"type":327,"VHDevAddress":"1-3"})") == 1; }));

    // An error report keeps the list and shows its reason.
    ASSERT_TRUE(bridge.send(R"({"VHErrCode":999,"VHErrMsg":"Internal error occured.  Please restart the client to )"
                            R"(reenable USB support.","VHErrType":4,"type":325})"));
    EXPECT_TRUE(waitUntil([&] {
        return runScript(*page_, "document.getElementById('usb-status').className + ': ' + "
                                 "document.getElementById('usb-status').textContent")
                   .startsWith("error: Internal error occured.");
    }));
    EXPECT_EQ(runScript(*page_, "document.querySelectorAll('#usb-devices tbody tr').length").toStdString(), "3");

    // The server's lines: a bind request without a USB tunnel fails.
    const std::string bind = R"({"VHDevAddress":"1-1","VHDevPrettyName":"USB Optical Mouse","VHSvrName":"d","type":326})";
    control->sendFrame(bind.data(), static_cast<int>(bind.size()), Poco::Net::WebSocket::FRAME_TEXT);
    EXPECT_TRUE(waitUntil([&] {
        return runScript(*page_, "document.querySelector('#usb-log li.error') ? "
                                 "document.querySelector('#usb-log li.error').textContent : ''")
                   .toStdString() == "can't bind 'USB Optical Mouse' (1-1): no USB tunnel";
    })) << server_->log();

    // A new allow list from the page: the server relays new parameters.
    runScript(*page_, "document.getElementById('usb-allow').value = 'Mouse';"
                      "document.getElementById('usb-allow-set').click(); true;");
    EXPECT_TRUE(waitUntil([&] {
        return bridge.count(R"({"type":101,"SrvAllowedUSBDevs":"Mouse","SrvShowAllUSBDevs":0})") == 1;
    })) << server_->log();
}

// The desk page's header holds still while its texts change and its USB
// list and log fill: no control moves under the pointer, the statistics
// stay on one line, and the picture (under the canvas element) keeps its
// place and stays whole in a window sized for the page.
TEST_F(DemoPageScriptTest, HeaderHoldsStillAndThePictureStaysWhole) {
    FakeBridge bridge;
    QWebEngineView view;
    std::unique_ptr<Poco::Net::WebSocket> control;
    ASSERT_NO_FATAL_FAILURE(openUsbDesk(bridge, &view, control));
    // The stream's parameters size the canvas; the page has the window's size.
    ASSERT_TRUE(waitUntil([&] { return runScript(*page_, "document.getElementById('canvas').style.width") == "192px"; }));
    ASSERT_TRUE(waitUntil([&] { return runScript(*page_, "window.innerWidth + 'x' + window.innerHeight") == "1280x320"; }));

    // Where everything stands: each control and block as "x,y,w,h", the
    // statistics' line count, the page's height and the window's.
    const QString layout = R"js(
      (function () {
        var parts = [];
        ['#status', '#fullscreen', '#disconnect', '#tunnel-name', '#tunnel-up', '#tunnel-down',
         '#toolbar a', '#usb-allow', '#usb-allow-set', '#toolbar', '#usb', '#canvas'].forEach(function (s) {
          var r = document.querySelector(s).getBoundingClientRect();
          parts.push(s + '=' + [r.left, r.top, r.width, r.height].map(Math.round).join(','));
        });
        parts.push('page height=' + document.documentElement.scrollHeight);
        return parts.join(' ');
      })())js";
    const std::string before = runScript(*page_, layout).toStdString();
    ASSERT_FALSE(before.empty());
    const QString canvasBottom = "document.getElementById('canvas').getBoundingClientRect().bottom";
    EXPECT_LE(runScript(*page_, canvasBottom).toDouble(), runScript(*page_, "window.innerHeight").toDouble())
        << before;

    // The texts change: a long status, the client's statistics...
    runScript(*page_, "document.getElementById('status').textContent = 'Tunnel web is set up: the client forwards "
                      "connections to its port 8000 through the server';");
    const std::string stats =
        R"({"type":16,"session":0,"CSFno":123456,"CSFpInt":"25","CSDas":"12.34","CSSvrFno":7,"SrvVSCnfNo":0})";
    control->sendFrame(stats.data(), static_cast<int>(stats.size()), Poco::Net::WebSocket::FRAME_TEXT);
    ASSERT_TRUE(waitUntil([&] {
        return runScript(*page_, "document.getElementById('stats').textContent").startsWith("screen 0: 123456 frames");
    })) << server_->log();
    // ...the device list arrives, and the USB log fills up.
    ASSERT_TRUE(bridge.send(threeDevices));
    for (int i = 0; i < 6; ++i) {
        const std::string bind =
            R"({"VHDevAddress":"1-1","VHDevPrettyName":"USB Optical Mouse","VHSvrName":"d","type":326})";
        control->sendFrame(bind.data(), static_cast<int>(bind.size()), Poco::Net::WebSocket::FRAME_TEXT);
    }
    ASSERT_TRUE(waitUntil([&] {
        return runScript(*page_, "document.querySelectorAll('#usb-log li').length + ' ' + "
                                 "document.querySelectorAll('#usb-devices tbody tr').length") == "8 3";
    })) << server_->log();

    const std::string after = runScript(*page_, layout).toStdString();
    EXPECT_EQ(after, before);
    // The statistics stay on one line, cut where the space ends.
    EXPECT_EQ(runScript(*page_, "(function () { var stats = document.getElementById('stats');"
                                "  var line = parseFloat(getComputedStyle(stats).fontSize);"
                                "  return stats.getBoundingClientRect().height < 2 * line ? 'one line' : 'wrapped'; })()")
                  .toStdString(),
              "one line");
    EXPECT_LE(runScript(*page_, canvasBottom).toDouble(), runScript(*page_, "window.innerHeight").toDouble())
        << after;
}

// While the client cannot list its devices (its daemon went away, say: a
// failed device list), no listed device can be used; and the rows stay
// where they are when the error appears and when it goes, however long its
// text: a click aimed at one device never lands on another.
TEST_F(DemoPageScriptTest, UsbRowsHoldStillAndNoneIsUsableWhileTheListFails) {
    FakeBridge bridge;
    QWebEngineView view;
    std::unique_ptr<Poco::Net::WebSocket> control;
    ASSERT_NO_FATAL_FAILURE(openUsbDesk(bridge, &view, control));
    ASSERT_TRUE(waitUntil([&] { return bridge.count("{\"type\":324}") == 1; }));

    // Each row's place and the buttons that can be clicked.
    const QString rows = R"js(
      Array.from(document.querySelectorAll('#usb-devices tbody tr')).map(function (row) {
        var r = row.getBoundingClientRect();
        return row.getAttribute('data-address') + '@' + [r.left, r.top, r.width, r.height].map(Math.round).join(',') +
               Array.from(row.querySelectorAll('button')).filter(function (b) { return !b.disabled; })
                    .map(function (b) { return ' ' + b.textContent; }).join('');
      }).join('; '))js";
    const QString status = "document.getElementById('usb-status').className + ': ' + "
                           "document.getElementById('usb-status').textContent";
    ASSERT_TRUE(bridge.send(threeDevices));
    ASSERT_TRUE(waitUntil([&] { return runScript(*page_, status) == ": 3 device(s)"; }));
    const std::string listed = runScript(*page_, rows).toStdString();
    auto places = [](std::string text) {
        for (const char* button : {" Connect", " Disconnect"})
            for (std::string::size_type at; (at = text.find(button)) != std::string::npos;)
                text.erase(at, std::string(button).size());
        return text;
    };
    EXPECT_NE(listed.find("1-1@"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" Connect;"), std::string::npos) << listed;

    // The daemon goes away: a failed list with a long reason (wider than the
    // list), as the client sends it.
    const std::string away =
        R"({"VHErrCode":992,"VHErrMsg":"The USB service vhproxy does not answer, and this reason goes on and on )"
        R"(to show that however long it is, the rows below it keep their places and the panel its size",)"
        R"("VHErrType":2,"type":325})";
    ASSERT_TRUE(bridge.send(away));
    ASSERT_TRUE(waitUntil([&] { return runScript(*page_, status).startsWith("error: The USB service vhproxy"); }));
    const std::string failed = runScript(*page_, rows).toStdString();
    EXPECT_EQ(places(failed), places(listed));
    // The reason shows on one line as wide as the list, cut at its end.
    EXPECT_EQ(runScript(*page_, "(function () { var s = document.getElementById('usb-status').getBoundingClientRect();"
                                "  var l = document.getElementById('usb-devices').getBoundingClientRect();"
                                "  var line = parseFloat(getComputedStyle(document.getElementById('usb-status')).fontSize);"
                                "  return (s.width >= l.width ? 'list wide' : 'narrow ' + s.width) + ', ' +"
                                "         (s.height < 2 * line ? 'one line' : 'wrapped'); })()")
                  .toStdString(),
              "list wide, one line");
    EXPECT_EQ(failed, places(listed)) << "no button can be clicked";
    runScript(*page_, "document.querySelector('tr[data-address=\"1-1\"] .usb-connect').click(); true;");
    QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
    EXPECT_EQ(bridge.count("\"type\":326"), 0);

    // It comes back: the next list makes the rows usable again, in place.
    ASSERT_TRUE(bridge.send(threeDevices));
    ASSERT_TRUE(waitUntil([&] { return runScript(*page_, status) == ": 3 device(s)"; }));
    EXPECT_EQ(runScript(*page_, rows).toStdString(), listed);
    runScript(*page_, "document.querySelector('tr[data-address=\"1-1\"] .usb-connect').click(); true;");
    EXPECT_TRUE(waitUntil([&] { return bridge.count(R"({"type":326,"VHDevAddress":"1-1"})") == 1; }));
}

TEST_F(DemoPageScriptTest, TellsTheServerWhenTheClientHasNoBridge) {
    signInWithAgent("QuarrydeskClient/14.0 (Windows NT 10.0; decoder:WebGL; ) QorNet/4.3 Mozilla/5.0 NoUSB");
    EXPECT_TRUE(waitUntil([&] { return server_->log().find("page bridge unavailable") != std::string::npos; }))
        << server_->log();
}

}  // namespace
