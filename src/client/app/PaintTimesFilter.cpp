#include "PaintTimesFilter.h"

#include "ClientGLWidget.h"
#include "PresentLatencyLog.h"

#include <QEvent>

bool PaintTimesFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Paint) return false;
    auto* window = qobject_cast<ClientGLWidget*>(watched);
    if (window == nullptr) return false;
    const qor::QorCanvas* canvas = window;
    if (!watchedWindows.contains(window)) {
        watchedWindows.insert(window);
        // Emitted once the window's paints are done, before it is composed,
        // and after the composed window was swapped to the screen.
        connect(window, &QOpenGLWidget::aboutToCompose, this, [canvas] { qor::PresentLatencyLog::painted(canvas); });
        connect(window, &QOpenGLWidget::frameSwapped, this, [canvas] { qor::PresentLatencyLog::swapped(canvas); });
        connect(window, &QObject::destroyed, this, [this, window, canvas] {
            watchedWindows.remove(window);
            qor::PresentLatencyLog::forget(canvas);
        });
    }
    qor::PresentLatencyLog::paintStarted(canvas);
    return false;
}
