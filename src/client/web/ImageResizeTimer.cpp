#include "ImageResizeTimer.h"

#include "ClientGLWidget.h"
#include "ClientWebView.h"
#include "Logging.h"
#include "PageScripts.h"

ImageResizeTimer::ImageResizeTimer(QObject* view) : QTimer(view) {}

ImageResizeTimer::~ImageResizeTimer() = default;

void ImageResizeTimer::handleImageResize() {
    auto* view = qobject_cast<ClientWebView*>(parent());
    if (view == nullptr || view->closing || view->canvas == nullptr) return;
    const QSize frame = view->canvas->lastFrameSize();
    if (frame.width() <= 0 || frame.height() <= 0) return;
    if (frame.width() == view->lastFrameWidth && frame.height() == view->lastFrameHeight) return;
    if (isDebugEnabled()) {
        logDebug(view->logName() + ": Detected canvas resize from " + std::to_string(view->lastFrameWidth) + ", " +
                 std::to_string(view->lastFrameHeight) + " to " + std::to_string(frame.width()) + ", " +
                 std::to_string(frame.height()));
    }
    view->lastFrameWidth = frame.width();
    view->lastFrameHeight = frame.height();
    view->redrawTimer.start();
    if (view->fullScreen) {
        view->fitZoomToScreen();
    } else {
        view->runScript(PageScripts::canvasPresence, &ClientWebView::autoresizeView);
    }
}
