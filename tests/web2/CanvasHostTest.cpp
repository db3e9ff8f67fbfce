// A screen window and its real browser view: what the window asks of the
// view (page address and titles, the page's background while frames are
// drawn and after a clear, the redraw of a refresh, the detach of a close)
// reaches the view and shows in the page and the log.
#include "CanvasRegistry.h"
#include "ClientGLWidget.h"
#include "ClientWebView.h"
#include "ColorFormat.h"
#include "LogCapture.h"
#include "TestFrames.h"
#include "WebTestSupport.h"

#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

TEST(CanvasHost, TheWindowsRequestsReachItsBrowserView) {
    useEmptyConfiguration();
    useClientWebViews();
    LogCapture log("debug");
    auto window = std::make_unique<ClientGLWidget>(false);
    window->resize(400, 300);
    window->show();
    auto* view = qobject_cast<ClientWebView*>(window->hostedView());
    ASSERT_NE(view, nullptr);
    bool loaded = false;
    QObject::connect(view, &QWebEngineView::loadFinished, [&loaded](bool) { loaded = true; });
    view->setHtml("<html><body style='background: rgb(1, 2, 3)'>"
                  "<canvas id='canvas' width='100' height='50'></canvas></body></html>",
                  QUrl("https://h:8443/q?screen=3"));
    ASSERT_TRUE(waitUntil([&loaded] { return loaded; }));

    ASSERT_EQ(view->pageUrl(), QUrl("https://h:8443/q?screen=3"));
    window->loadFinished(true);
    EXPECT_EQ(window->canvasId(), 3);
    EXPECT_EQ(window->windowTitle(), "Screen 3 - https://h:8443 - Quarrydesk Client");
    EXPECT_EQ(view->windowTitle(), "Screen 3 - https://h:8443 - Quarrydesk Client");

    // The first paint with a frame makes the page transparent.
    window->decoderAttached = true;
    CountingAllocator frames;
    window->presentFrame(frames.make(ColorFormat::RGB24, 16, 16, [](int, int) { return Rgb{0, 0, 0}; }));
    ASSERT_TRUE(waitUntil([&] { return window->isTransparent(); }));
    EXPECT_EQ(view->page()->backgroundColor(), QColor(Qt::transparent));
    EXPECT_TRUE(view->testAttribute(Qt::WA_TranslucentBackground));

    std::thread decoder([&] { window->refreshScreen(); });
    decoder.join();
    EXPECT_TRUE(waitUntil([&] { return log.contains(view->logName() + ": Redrawing window"); }));

    std::thread session([&] { window->clearScreen(); });
    session.join();
    ASSERT_TRUE(waitUntil([&] { return !window->isTransparent(); }));
    EXPECT_EQ(view->page()->backgroundColor(), QColor(Qt::black));
    EXPECT_FALSE(view->testAttribute(Qt::WA_TranslucentBackground));

    window->close();
    EXPECT_TRUE(view->isClosing());
    EXPECT_EQ(view->canvasWindow(), nullptr);
    EXPECT_EQ(view->parentWidget(), nullptr);
    window->resetFrames();
    window.reset();
    delete view;
    EXPECT_EQ(qor::retrieveCanvas(3, false), nullptr);
    EXPECT_EQ(frames.outstanding, 0);
}

} // namespace
