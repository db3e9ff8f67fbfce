// The image-resize timer: a new frame size of the canvas window redraws the
// window once and tries an autoresize, or fits the zoom in full screen; the
// same size again does nothing.
#include "ClientGLWidget.h"
#include "ClientWebView.h"
#include "ColorFormat.h"
#include "LogCapture.h"
#include "TestFrames.h"
#include "WebTestSupport.h"

#include <QScreen>
#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

class ImageResizeTest : public ::testing::Test {
protected:
    void SetUp() override {
        useEmptyConfiguration();
        useClientWebViews();
        window_ = std::make_unique<ClientGLWidget>(false);
        window_->resize(900, 700);
        window_->show();
        view_ = qobject_cast<ClientWebView*>(window_->hostedView());
        ASSERT_NE(view_, nullptr);
        bool loaded = false;
        QObject::connect(view_, &QWebEngineView::loadFinished, [&loaded](bool) { loaded = true; });
        view_->setHtml("<html><body><canvas id='canvas' width='320' height='180'></canvas></body></html>");
        ASSERT_TRUE(waitUntil([&loaded] { return loaded; }));
        window_->decoderAttached = true;
    }

    void TearDown() override {
        window_->resetFrames();
        if (HasFailure())
            for (const std::string& line : log_.texts()) std::printf("log: %s\n", line.c_str());
    }

    void present(int width, int height) {
        window_->presentFrame(frames_.make(ColorFormat::RGB24, width, height, [](int, int) { return Rgb{0, 0, 0}; }));
    }

    LogCapture log_{"debug"};
    CountingAllocator frames_;
    std::unique_ptr<ClientGLWidget> window_;
    ClientWebView* view_ = nullptr;
};

TEST_F(ImageResizeTest, NewFrameSizeRedrawsAndTriesAnAutoresize) {
    present(320, 180);
    ASSERT_TRUE(waitUntil([this] { return log_.contains(": Detected canvas resize from 0, 0 to 320, 180"); }));
    EXPECT_EQ(view_->lastFrameSize(), QSize(320, 180));
    // The page has a canvas but no measurable content: the window keeps its size.
    EXPECT_TRUE(waitUntil([this] { return log_.contains("Attempting view autoresize"); }));
    EXPECT_TRUE(waitUntil([this] { return log_.contains("WebView_0: Redrawing window"); }));
    EXPECT_TRUE(waitUntil([this] { return window_->size() == QSize(900, 700); }));

    present(320, 180);
    processEventsFor(1500);
    EXPECT_EQ(log_.count(": Detected canvas resize"), 1);
    EXPECT_EQ(log_.count("Attempting view autoresize"), 1);

    present(640, 360);
    EXPECT_TRUE(waitUntil([this] { return log_.contains(": Detected canvas resize from 320, 180 to 640, 360"); }));
}

TEST_F(ImageResizeTest, FullScreenFitsTheZoomToTheScreen) {
    view_->enableFullScreen();
    ASSERT_TRUE(view_->isFullScreen());
    present(3840, 2160);
    ASSERT_TRUE(waitUntil([this] { return log_.contains("to 3840, 2160"); }));
    const QSize screen = window_->screen()->geometry().size();
    EXPECT_TRUE(waitUntil([&] {
        return std::abs(view_->zoomFactor() - std::min(screen.width() / 3840.0, screen.height() / 2160.0)) < 1e-6;
    })) << view_->zoomFactor();
    EXPECT_FALSE(log_.contains("Attempting view autoresize"));
    view_->disableFullScreen();
    EXPECT_DOUBLE_EQ(view_->zoomFactor(), 1.0);
}

} // namespace
