#include "OpenGLCheck.h"

#include "Logging.h"

#include <QMessageBox>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QPushButton>

bool detectOpenGLVersion() {
    QOpenGLContext context;
    if (!context.create()) {
        logWarning("Can't create an OpenGL context");
        return false;
    }
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface)) {
        logWarning("Can't create an OpenGL context");
        return false;
    }
    const QSurfaceFormat format = context.format();
    context.doneCurrent();
    if (isDebugEnabled())
        logDebug("OpenGL version " + std::to_string(format.majorVersion()) + "." + std::to_string(format.minorVersion()));
    return format.version() >= qMakePair(2, 1);
}

bool showOpenGLWarning() {
    QMessageBox box(QMessageBox::Warning, "Quarrydesk Client",
                    "OpenGL 2.1 or later is not available on this system.\n"
                    "The client can go on without drawing video natively.");
    QPushButton* proceed = box.addButton("Proceed without OpenGL support", QMessageBox::AcceptRole);
    QPushButton* abort = box.addButton("Abort", QMessageBox::RejectRole);
    box.setDefaultButton(abort);
    box.exec();
    return box.clickedButton() == proceed;
}
