// Program entry of the Quarrydesk Client: start-up before any Qt object,
// then the application object, the OpenGL check, the connection side, the
// main window and the event loop.
#include "ClientSettings.h"
#include "DisplayCheck.h"
#include "JobObject.h"
#include "Logging.h"
#include "MyQApplication.h"
#include "StartClient.h"
#include "StartupOptions.h"
#include "TerminationSignals.h"
#include "Utilities.h"
#include "BrokerSession.h"
#include "CanvasRegistry.h"
#include "JsBridge.h"
#include "NativeClient.h"
#include "ClientGLWidget.h"
#include "OpenGLCheck.h"
#include "PaintTimesFilter.h"
#include "PresentLatencyLog.h"
#include "ClientProtocolHandler.h"
#include "ClientWebViewConnect.h"
#include "ConnectDialog.h"
#include "WebPlatform.h"

#include <Poco/Exception.h>

#include <QSurfaceFormat>
#include <QUrl>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const displayName = "Quarrydesk Client";
const char* const programTag = "qdk-client";

// Starts the js-bridge that the page's script connects to; false when its
// server cannot listen. The bridge object lives as long as the program;
// jsBridge only points to it (the web view's clean-up clears the pointer).
bool startJsBridge() {
    static JsBridge bridge;
    jsBridge = &bridge;
    try {
        return jsBridge->startBridgeServer(qor::NativeClient::instance());
    } catch (const Poco::Exception& e) {
        logError("Can't start the js-bridge: " + e.displayText());
    }
    jsBridge = nullptr;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Console attachment has no counterpart here: the standard streams are
    // those of the parent already.
    const std::string banner = std::string(displayName) + " " + getClientVersion() + " started with PID " +
                               std::to_string(QCoreApplication::applicationPid());
    const std::string directory = applicationDirectory(argv[0]);
    setWindowCheck(displayReachable);
    const bool ok = startClient(banner, programTag, directory, argc, argv);

    JobObject job = createJobObject();
    setJobObjectKillOnClose(job);
    if (!assignProcessToJobObject(job)) {
        std::printf("Can't assign current process to job");
        std::fflush(stdout);
    }

    QSurfaceFormat format;
    format.setVersion(2, 1);
    format.setProfile(QSurfaceFormat::CoreProfile);
    QSurfaceFormat::setDefaultFormat(format);
    QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling, true);
    registerUrlScheme();
    prepareBrowserEngineEnvironment();

    MyQApplication app(argc, argv);
    QCoreApplication::setApplicationName(displayName);
    QCoreApplication::setApplicationVersion(QString::fromStdString(getClientVersion()));
    TerminationSignals terminationSignals;
    if (isDebugEnabled()) logDebug(std::string("Started native client, based on QT ") + qVersion());

    if (!clientHighDPIScaling.get()) enableDpiAwareness();
    if (isDebugEnabled()) {
        if (QCoreApplication::testAttribute(Qt::AA_EnableHighDpiScaling)) logDebug("AA_EnableHighDpiScaling is enabled");
        if (!QCoreApplication::testAttribute(Qt::AA_DisableHighDpiScaling))
            logDebug("AA_DisableHighDpiScaling is disabled");
    }

    if (!clientDoubleBuffering.get()) {
        QSurfaceFormat single = QSurfaceFormat::defaultFormat();
        single.setSwapBehavior(QSurfaceFormat::SingleBuffer);
        QSurfaceFormat::setDefaultFormat(single);
        if (isDebugEnabled()) logDebug("Using single buffering");
    } else if (isDebugEnabled()) {
        logDebug("Using double buffering");
    }

    if (!detectOpenGLVersion()) {
        if (!showOpenGLWarning()) {
            if (isDebugEnabled()) logDebug("User abort");
            std::exit(-1);
        }
        windowTitleWarning = "WARNING: OpenGL support missing";
        clientNativeDecoding.trySet(false);
    }

    if (startupOptions.runOpenGLTest) std::exit(runQuickOpenGLTest(startupOptions.openGLTestFormat));

    qor::NativeClient::instance()->start(-1);
    // Each new current server's host name goes to the connection side.
    setCurrentServerHostHandler(qor::setCurrentServerUrl);
    if (ok && clientNativeDecoding.get()) {
        if (startJsBridge()) {
            clientNativeDecoding.trySet(true);
        } else {
            clientNativeDecoding.trySet(false);
            logWarning("Failed to bridge components, no native decoding available");
        }
    } else {
        clientNativeDecoding.trySet(false);
        logInformation("No native decoding available");
    }

    // Benchmarks: times from frame hand-over to paint (QDK_PRESENT_LOG).
    if (qor::PresentLatencyLog::enabled()) app.installEventFilter(new PaintTimesFilter(&app));
    useClientWebViews();
    auto* widget = new ClientGLWidget(true);
    mainWidget = widget;
    postScreenClosedHook = qor::postScreenClosed;
    widget->show();
    if (isDebugEnabled()) logDebug("Starting native client UI");

    auto* view = qobject_cast<ClientWebViewConnect*>(widget->hostedView());
    if (needsConnectDialog() && view != nullptr && view->dialog() != nullptr) {
        if (isDebugEnabled()) logDebug("Initializing connect dialog");
        view->dialog()->setWindowFlags(view->dialog()->windowFlags() | Qt::Window);
        view->dialog()->connectWithRetry(QUrl());
    }

    // The main window's view ends the NativeClient thread and the js-bridge.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, widget, &ClientGLWidget::cleanup);
    widget->setCanvasId(qor::CANVAS_ID_UNASSIGNED);
    qor::addCanvas(widget);
    const int result = QApplication::exec();
    logInformation("Event loop ended with " + std::to_string(result));
    return result;
}
