#include "CanvasTestSupport.h"

#include "ClientSettings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "canvas_tests";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr) application_ = new QApplication(argc, argv);
    }
    // Ends the application after the last test, before the exit handlers
    // run: left to them, the browser engine's threads still run while the
    // libraries' statics are destroyed, and the process can crash at exit.
    void TearDown() override {
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

const testing::Environment* const qtEnvironment = testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace



std::unique_ptr<ClientGLWidget> makeCanvas(bool quads, bool hwColorConversion) {
    clientOpenGLRenderMode.set(quads ? "quads" : "normal");
    clientHwColorConversion.set(hwColorConversion);
    auto canvas = std::make_unique<ClientGLWidget>(false);
    canvas->resize(200, 150);
    canvas->show();
    waitUntil([&] { return canvas->isValid() && canvas->context() != nullptr; });
    {
        ScopedOwnerLock guard(canvas->frameLocks[0]);
        canvas->decoderAttached = true;
    }
    return canvas;
}

QImage presentAndGrab(ClientGLWidget& canvas, qor::VideoFrame* frame) {
    canvas.presentFrame(frame);
    return canvas.grabFramebuffer();
}
