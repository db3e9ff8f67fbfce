#include "ClientWebView.h"

#include "BrokerSession.h"
#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ClientWebPage.h"
#include "ClientWebViewConnect.h"
#include "ClientProtocolHandler.h"
#include "ImageResizeTimer.h"
#include "JsBridge.h"
#include "Logging.h"
#include "PageGeometry.h"
#include "PageScripts.h"
#include "Utilities.h"
#include "WebPlatform.h"
#include "NativeClient.h"
#include "ServerConnectionValues.h"
#include "VHSupport.h"

#include <QApplication>
#include <QChildEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QWebEngineCookieStore>
#include <QWebEngineDownloadItem>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

#include <exception>

InitialGeometry initialGeometry;

namespace {

const char* const renderWidgetClass = "QtWebEngineCore::RenderWidgetHostViewQtDelegateWidget";
constexpr std::uint64_t navigationComponents =
    LogComponentMask::BROKER | LogComponentMask::SMGNT | LogComponentMask::QTGUI;
// The control protocol's version that the page reads from the agent.
constexpr unsigned protocolMajor = 4;
constexpr unsigned protocolMinor = 3;

QString productToken() {
    QString name = "Quarrydesk Client";
    name.remove(' ');
    return name;
}

QString majorMinorVersion() {
    const QStringList parts = QString::fromStdString(getClientVersion()).split('.');
    return QString::number(parts.value(0).toInt()) + "." + QString::number(parts.value(1).toInt());
}

QSize screenSizeOf(QWidget* widget) {
    QScreen* screen = widget->screen();
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry().size() : QSize();
}

} // namespace

ClientWebView::ClientWebView(QWidget* parent, ClientGLWidget* canvas, int viewId)
    : QWebEngineView(parent), canvas(canvas), viewId(viewId) {
    redrawTimer.setInterval(1000);
    redrawTimer.setSingleShot(true);
    connect(&redrawTimer, &QTimer::timeout, this, &ClientWebView::redrawWindow);
    if (canvas != nullptr) canvas->hostView(this);

    profile = new QWebEngineProfile;
    profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    installSchemeHandler(profile);

    const QString agent = composeUserAgent();
    if (isDebugEnabled()) logDebug(logName() + ": Setting httpUserAgent: '" + agent.toStdString() + "'");
    profile->setHttpUserAgent(agent);

    connect(
        profile, &QWebEngineProfile::downloadRequested, profile, [](QWebEngineDownloadItem* item) { item->cancel(); },
        Qt::DirectConnection);

    QWebEngineSettings* settings = profile->settings();
    settings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::WebGLEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, true);

    QCoreApplication::instance()->installEventFilter(this);
    startResizeTimer();
    if (isDebugEnabled()) logDebug(logName() + ": Created ClientWebView");

    if (cookieStore == nullptr) {
        cookieStore = profile->cookieStore();
        cookieConnection = connect(cookieStore, &QWebEngineCookieStore::cookieAdded, this, &ClientWebView::cookieAdded);
        if (isDebugEnabled()) logDebug(logName() + ": Cookie store signal handler added");
        cookieStore->loadAllCookies();
    }

    if (clientKioskModeEnabled.get()) {
        if (isDebugEnabled()) logDebug(logName() + ": Enabling fullscreen (kiosk mode)");
        enableFullScreen();
    }
}

ClientWebView::~ClientWebView() {
    if (isDebugEnabled()) logDebug(logName() + ": Deleting ClientWebView");
    detachCanvas();
    blockSignals(true);
    if (cookieStore != nullptr) disconnect(cookieConnection);
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(this);
    // The pages (the current one and replaced ones not yet gone) are
    // children of the view and go first: the profile must outlive them.
    const auto pages = findChildren<QWebEnginePage*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWebEnginePage* child : pages) delete child;
    delete profile;
}

std::string ClientWebView::logName() const { return "WebView_" + std::to_string(viewId); }

QString ClientWebView::composeUserAgent() const {
    const bool native = clientNativeDecoding.get();
    QString agent = productToken() + "/" + majorMinorVersion();
    agent += " (" + userAgentSystemText();
    agent += QString("; ") + (native ? "decoder:Native" : "decoder:WebGL");
    agent += "; ";
    if (native) agent += "bridgePort:" + QString::number(qor::bridgePort.load());
    agent += ") QorNet/" + QString::number(protocolMajor) + "." + QString::number(protocolMinor);
    agent += " " + QWebEngineProfile::defaultProfile()->httpUserAgent();
    agent += QString(" ") + (vhIntegrationEnabled.load() ? "USB" : "NoUSB");
    return agent;
}

void ClientWebView::loadPageUrl(QUrl address) {
    auto* newPage = new ClientWebPage(viewId, profile, this);
    QPointer<QWebEnginePage> old = page();
    setPage(newPage);
    // The old page may be the one whose signal brought us here: it goes
    // once control is back in the event loop, and says nothing until then.
    if (old && old->parent() == this) {
        old->disconnect(this);
        old->deleteLater();
    }
    connect(newPage, SIGNAL(loadFinished(bool)), this, SLOT(handleLoadFinished(bool)));
    connect(newPage, SIGNAL(loadStarted()), this, SLOT(handleLoadStarted()));
    connect(newPage, SIGNAL(fullScreenRequested(QWebEngineFullScreenRequest)), this,
            SLOT(acceptFullScreen(QWebEngineFullScreenRequest)));
    componentDebug(navigationComponents, logName() + ": Attempting URL: " + address.toString().toStdString());
    newPage->load(address);
}

void ClientWebView::handleLoadStarted() { loading = true; }

void ClientWebView::cookieAdded(QNetworkCookie cookie) {
    const QByteArray name = cookie.name();
    if (name != QByteArray::fromStdString(sessionCookieName(true)) &&
        name != QByteArray::fromStdString(sessionCookieName(false)))
        return;
    componentDebug(LogComponentMask::SMGNT, logName() + ": Setting session information");
    qor::setSessionCookieValue(cookie.value().toStdString());
}

bool ClientWebView::event(QEvent* event) {
    if (event->type() == QEvent::ChildAdded) {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        if (child != nullptr && qstrcmp(child->metaObject()->className(), renderWidgetClass) == 0)
            child->installEventFilter(this);
    }
    return QWebEngineView::event(event);
}

bool ClientWebView::handleImeKey(QObject*, QEvent* event, bool& consumed) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const int virtualKey = imeVirtualKey(*key);
    if (virtualKey == 0) {
        if (key->key() == 0 && isDebugEnabled()) {
            logDebug("Unhandled qt key event " + QKeySequence(key->key()).toString().toStdString() +
                     ", text: " + key->text().toStdString() + ", key: " + std::to_string(key->key()) +
                     ", nativeScanCode: " + std::to_string(key->nativeScanCode()) +
                     ", nativeVirtualKey: " + std::to_string(key->nativeVirtualKey()));
        }
        return false;
    }
    const bool press = event->type() == QEvent::KeyPress;
    const char* name = nullptr;
    const char* code = nullptr;
    switch (virtualKey) {
    case 240:
        if (!press) name = "Alphanumeric", code = "CapsLock";
        break;
    case 241:
        if (press) name = "Katakana", code = "KanaMode";
        break;
    case 242:
        if (press) name = "Hiragana", code = "KanaMode";
        break;
    default:
        if (press) name = "ZenkakuHankaku", code = "Backquote";
        break;
    }
    if (name != nullptr) {
        const Qt::KeyboardModifiers mods = key->modifiers();
        const bool shift = mods & Qt::ShiftModifier, ctrl = mods & Qt::ControlModifier;
        const bool alt = mods & Qt::AltModifier, meta = mods & Qt::MetaModifier;
        qor::sendKeyEvent(code, name, false, shift, ctrl, alt, meta);
        qor::sendKeyEvent(code, name, true, shift, ctrl, alt, meta);
    }
    consumed = true;
    return true;
}

bool ClientWebView::eventFilter(QObject* watched, QEvent* event) {
    bool consumed = false;
    if (handleImeKey(watched, event, consumed)) return consumed;
    if (hasFocus() && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F11 && (key->modifiers() & Qt::ControlModifier)) {
            if (closing) return true;
            if (fullScreen) {
                if (isDebugEnabled()) logDebug("Disable FullScreen Requested");
                disableFullScreen();
            } else {
                if (isDebugEnabled()) logDebug("Enable FullScreen Requested");
                enableFullScreen();
            }
            runScript(PageScripts::dispatchFullScreenChange);
            return true;
        }
    } else if (event->type() == QEvent::Paint && qstrcmp(watched->metaObject()->className(), renderWidgetClass) == 0) {
        queryCanvasGeometry();
    }
    return QObject::eventFilter(watched, event);
}

void ClientWebView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = page() != nullptr ? page()->createStandardContextMenu() : nullptr;
    if (menu == nullptr) return;
    for (QAction* action : menu->actions()) {
        if (action->text() != "&Back" && action->text() != "&Forward") menu->removeAction(action);
    }
    menu->setAttribute(Qt::WA_DeleteOnClose, true);
    menu->popup(event->globalPos());
}

void ClientWebView::cleanup() {
    if (isDebugEnabled()) logDebug(logName() + ": Cleanup called");
    qor::stopNativeClient();
    if (jsBridge != nullptr) jsBridge->stopBridgeServer();
    jsBridge = nullptr;
}

QUrl ClientWebView::pageUrl() const { return page() != nullptr ? page()->url() : QUrl(); }

QColor ClientWebView::pageBackgroundColor() const { return page() != nullptr ? page()->backgroundColor() : QColor(); }

void ClientWebView::setPageBackgroundColor(QColor colour) {
    if (page() != nullptr) page()->setBackgroundColor(colour);
}

void ClientWebView::runScript(const QString& script, void (ClientWebView::*handler)(const QVariant&)) {
    if (page() == nullptr) return;
    QPointer<ClientWebView> self(this);
    page()->runJavaScript(script, [self, handler](const QVariant& result) {
        if (self) (self.data()->*handler)(result);
    });
}

void ClientWebView::runScript(const QString& script) {
    if (page() != nullptr) page()->runJavaScript(script);
}

QWidget* ClientWebView::viewWindow() { return window(); }

QWidget* ClientWebView::separateCanvasWindow() {
    if (canvas == nullptr || canvas == window()) return nullptr;
    return canvas;
}

// ---------------------------------------------------------------------------
// Page geometry

void ClientWebView::queryCanvasGeometry() {
    if (closing) return;
    runScript(PageScripts::canvasRect, &ClientWebView::applyCanvasGeometry);
    if (!closing) runScript(PageScripts::bodyScrollSize, &ClientWebView::storeScrollSize);
}

void ClientWebView::applyCanvasGeometry(const QVariant& result) {
    if (closing || canvas == nullptr) return;
    if (result.isNull()) {
        canvas->setViewport(0, canvas->height(), 0, 0);
        return;
    }
    const QRect viewport = PageGeometry::canvasViewport(result.toString(), zoomFactor(), canvas->height());
    // The picture moves only when the rectangle does: a page that repaints
    // over an unchanged canvas element costs the window no repaint.
    if (canvas->setViewport(viewport.x(), viewport.y(), viewport.width(), viewport.height())) canvas->update();
}

void ClientWebView::storeScrollSize(const QVariant& result) {
    if (closing || result.isNull()) return;
    const QSize size = PageGeometry::scaledScrollSize(result.toString(), zoomFactor());
    contentWidth = size.width();
    contentHeight = size.height();
}

void ClientWebView::startResizeTimer() {
    if (isDebugEnabled()) logDebug(logName() + ": Starting resize timer");
    resizeTimer = new ImageResizeTimer(this);
    connect(resizeTimer, &QTimer::timeout, resizeTimer, &ImageResizeTimer::handleImageResize);
    resizeTimer->start(500);
}

void ClientWebView::autoresizeView(const QVariant& result) {
    if (closing || result.isNull()) return;
    const QJsonDocument document = QJsonDocument::fromJson(result.toString().toUtf8());
    if (document.object().value("hasCanvas").toInt() != 1) {
        if (isDebugEnabled()) logDebug("Skipping view autoresize");
        return;
    }
    if (isDebugEnabled()) logDebug("Attempting view autoresize");
    const int width = viewWindow()->width();
    const int height = viewWindow()->height();
    resizeWindowTo(1, 1);
    QPointer<ClientWebView> self(this);
    if (page() == nullptr) return;
    page()->runJavaScript(PageScripts::contentSize, [self, width, height](const QVariant& size) {
        if (self) self->applyScrollSize(size, width, height);
    });
}

void ClientWebView::applyScrollSize(const QVariant& result, int width, int height) {
    if (closing || result.isNull()) {
        resizeWindowTo(width, height);
        return;
    }
    const QSize content = PageGeometry::scaledScrollSize(result.toString(), zoomFactor());
    contentWidth = content.width();
    contentHeight = content.height();
    if (contentWidth == 0 || contentHeight == 0) {
        if (isDebugEnabled()) logDebug("Cancelling autoresize - document width or height is zero");
        resizeWindowTo(width, height);
        return;
    }
    QWidget* window = viewWindow();
    QWidget* other = separateCanvasWindow();
    const QSize screen = screenSizeOf(window);
    const QSize before(width, height);
    if (PageGeometry::planAutoresize(content, screen, before, before).maximise) {
        window->hide();
        resizeWindowTo(width, height);
        window->showMaximized();
        if (other != nullptr) other->showMaximized();
        fitZoomToScreen();
        return;
    }
    window->hide();
    window->showNormal();
    if (other != nullptr) other->showNormal();
    fitZoomToScreen();
    const PageGeometry::AutoresizePlan plan = PageGeometry::planAutoresize(content, screen, window->size(), before);
    resizeWindowTo(plan.size.width(), plan.size.height());
}

void ClientWebView::queryBackgroundColor() {
    runScript(PageScripts::backgroundColor, &ClientWebView::applyBackgroundColor);
    runScript(PageScripts::transparencyProbe, &ClientWebView::onEnableTransparencyResult);
}

void ClientWebView::applyBackgroundColor(const QVariant& result) {
    if (closing || result.isNull()) return;
    if (isTraceEnabled()) logTrace(logName() + ": background-color msg: '" + result.toString().toStdString() + "'");
    if (canvas == nullptr) return;
    try {
        QColor colour;
        if (PageGeometry::backgroundColour(result.toString(), colour)) canvas->setClearColor(colour);
    } catch (const std::exception&) {
        logWarning("Can't set new clear color.  Unable to fetch webpage background color.");
    }
}

void ClientWebView::onEnableTransparencyResult(const QVariant& result) {
    if (closing || result.isNull() || !isDebugEnabled()) return;
    logDebug(result.toBool() ? "enableTransparency() called" : "enableTransparency() NOT called");
}

void ClientWebView::redrawWindow() {
    if (closing) return;
    if (!fullScreen) {
        if (isDebugEnabled()) logDebug(logName() + ": Redrawing window");
        // Hidden and shown again, the window system repaints the page over
        // the picture. A view inside its canvas window is redrawn with it.
        hide();
        show();
        if (canvas != nullptr) canvas->show();
    }
    fitZoomToScreen();
}

void ClientWebView::detachCanvas() {
    closing = true;
    canvas = nullptr;
    if (resizeTimer != nullptr) {
        if (isDebugEnabled()) logDebug(logName() + ": Stopping resize timer");
        resizeTimer->stop();
        delete resizeTimer;
        resizeTimer = nullptr;
    }
    redrawTimer.stop();
}

// ---------------------------------------------------------------------------
// Full screen, kiosk mode and window sizing

void ClientWebView::acceptFullScreen(QWebEngineFullScreenRequest request) {
    if (isDebugEnabled()) logDebug(logName() + ": FullScreen Change Request");
    setPageFullScreenState(!fullScreen);
    request.accept();
    request.reject();
    if (fullScreen) {
        disableFullScreen();
    } else {
        enableFullScreen();
    }
}

void ClientWebView::enableFullScreen() {
    if (isDebugEnabled()) {
        logDebug("ClientDebug: enableFullScreen()");
        logDebug(logName() + ": Enable FullScreen");
    }
    setPageFullScreenState(true);
    fullScreen = true;
    QWidget* window = viewWindow();
    savedWindowFlags = window->windowFlags();
    savedGeometry = window->saveGeometry();
    if (canvas != nullptr) {
        canvas->savedWindowFlags = canvas->windowFlags();
        canvas->savedGeometry = canvas->saveGeometry();
    }
    window->showFullScreen();
    if (QWidget* other = separateCanvasWindow()) other->showFullScreen();
    fitZoomToScreen();
    showFullScreenControls(true);
}

void ClientWebView::disableFullScreen() {
    if (isDebugEnabled()) logDebug(logName() + ": Disable FullScreen");
    setPageFullScreenState(false);
    fullScreen = false;
    QWidget* window = viewWindow();
    QWidget* other = separateCanvasWindow();
    if (savedWindowFlags != Qt::WindowFlags(~0)) window->setWindowFlags(savedWindowFlags);
    if (other != nullptr && canvas->savedWindowFlags != Qt::WindowFlags(~0))
        other->setWindowFlags(canvas->savedWindowFlags);
    window->showNormal();
    window->restoreGeometry(savedGeometry);
    if (other != nullptr) {
        other->showNormal();
        other->restoreGeometry(canvas->savedGeometry);
    }
    fitZoomToScreen();
    hideFullScreenControls();
}

void ClientWebView::setPageFullScreenState(bool on) { runScript(PageScripts::fullScreenState(on)); }

void ClientWebView::showFullScreenControls(bool showHint) {
    if (isDebugEnabled()) logDebug("ClientDebug: showFullScreenControls()");
    if (clientKioskModeEnabled.get()) return;
    fullScreenControlsEnabled = true;
    runScript(PageScripts::fullScreenControls(showHint));
}

void ClientWebView::hideFullScreenControls() {
    if (isDebugEnabled()) logDebug("ClientDebug: hideFullScreenControls()");
    if (fullScreenControlsEnabled) {
        runScript(PageScripts::removeFullScreenControls);
    } else if (isDebugEnabled()) {
        logDebug("ClientDebug: fullscreencontrols not enabled.");
    }
}

void ClientWebView::fitZoomToScreen() {
    if (!fullScreen || canvas == nullptr) {
        setZoomFactor(1.0);
        return;
    }
    setZoomFactor(PageGeometry::fitZoom(screenSizeOf(viewWindow()), canvas->lastFrameSize()));
}

void ClientWebView::resizeWindowTo(int width, int height) {
    if (isDebugEnabled())
        logDebug(logName() + ": Resize window to: " + std::to_string(width) + " x " + std::to_string(height));
    viewWindow()->resize(width, height);
    if (QWidget* other = separateCanvasWindow()) other->resize(width, height);
    if (fullScreen) {
        setPageFullScreenState(true);
        enableFullScreen();
    }
}

bool ClientWebView::saveInitialGeometry() {
    if (initialGeometry.saved) return false;
    if (isTraceEnabled()) logTrace(logName() + ": Saving initial geometry");
    QWidget* window = viewWindow();
    initialGeometry.viewWindowFlags = window->windowFlags();
    initialGeometry.width = window->width();
    initialGeometry.height = window->height();
    if (canvas != nullptr) initialGeometry.canvasWindowFlags = canvas->windowFlags();
    initialGeometry.saved = true;
    return true;
}

void ClientWebView::setInitialScreenSize(bool useSaved) {
    if (isDebugEnabled()) logDebug(logName() + ": Setting screen to initial size");
    setPageFullScreenState(false);
    fullScreen = false;
    QWidget* window = viewWindow();
    QWidget* other = separateCanvasWindow();
    window->showNormal();
    if (other != nullptr) other->showNormal();
    setZoomFactor(1.0);
    hideFullScreenControls();
    if (initialGeometry.saved) {
        if (window->windowFlags() != initialGeometry.viewWindowFlags) {
            window->setWindowFlags(initialGeometry.viewWindowFlags);
            window->show();
        }
        if (other != nullptr && other->windowFlags() != initialGeometry.canvasWindowFlags) {
            other->setWindowFlags(initialGeometry.canvasWindowFlags);
            other->show();
        }
    }
    int width = 780;
    int height = 560;
    if (useSaved) {
        if (isDebugEnabled()) {
            logDebug("ClientDebug: " + logName() + ": Setting window to saved values " +
                     std::to_string(initialGeometry.width) + "x" + std::to_string(initialGeometry.height));
        }
        width = initialGeometry.width;
        height = initialGeometry.height;
    } else if (isDebugEnabled()) {
        logDebug("ClientDebug: " + logName() + ": Setting window to defaulted setting (signout)");
    }
    window->resize(width, height);
    if (other != nullptr) other->resize(width, height);
}

void ClientWebView::updateWindowTitle(QUrl pageUrl) {
    QString title = pageUrl.toString() + " - Quarrydesk Client " + QString::fromStdString(getClientVersion());
    if (!windowTitleWarning.empty()) title = QString::fromStdString(windowTitleWarning) + "  -  " + title;
    setWindowsTitle(title);
}

void ClientWebView::setWindowsTitle(QString title) {
    setWindowTitle(title);
    viewWindow()->setWindowTitle(title);
    if (QWidget* other = separateCanvasWindow()) other->setWindowTitle(title);
}

void ClientWebView::setWindowsMinimumSize(int width, int height) {
    viewWindow()->setMinimumSize(width, height);
    if (QWidget* other = separateCanvasWindow()) other->setMinimumSize(width, height);
}

void ClientWebView::showWindows() {
    show();
    viewWindow()->show();
    if (QWidget* other = separateCanvasWindow()) other->show();
    fitZoomToScreen();
}

void ClientWebView::handleLoadFinished(bool) {
    queryBackgroundColor();
    const QUrl address = pageUrl();
    updateWindowTitle(address);
    if (clientKioskModeEnabled.get()) {
        runScript(PageScripts::hideFullScreenControl);
        runScript("kioskmode=true;");
        if (isDebugEnabled())
            logDebug(logName() + ": Enabled kioskmode on client page " + address.toString().toStdString());
    }
}

void useClientWebViews() {
    webViewFactory = [](ClientGLWidget* window, bool mainWindow) {
        if (mainWindow) {
            new ClientWebViewConnect(nullptr, window, window->widgetNumber());
        } else {
            new ClientWebView(nullptr, window, window->widgetNumber());
        }
    };
}
