#include "OpenGLCheck.h"

#include "ClientGLWidget.h"
#include "Logging.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPushButton>
#include <QThread>
#include <QWindow>

#include <memory>

#ifndef GL_MAJOR_VERSION
#define GL_MAJOR_VERSION 0x821B
#define GL_MINOR_VERSION 0x821C
#endif

int glMajorVersion = 0;
int glMinorVersion = 0;
std::string glVersionString;

namespace {

int decimalPart(const std::string& text) {
    if (text.empty() || text.size() > 9) return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

void readVersion(QOpenGLContext& context) {
    QWindow window;
    window.setSurfaceType(QSurface::OpenGLSurface);
    window.create();
    if (!context.makeCurrent(&window)) return;
    QOpenGLFunctions* gl = context.functions();
    GLint major = 0;
    GLint minor = 0;
    gl->glGetIntegerv(GL_MAJOR_VERSION, &major);
    gl->glGetIntegerv(GL_MINOR_VERSION, &minor);
    // Contexts before 3.0 refuse the two queries: clear their error.
    while (gl->glGetError() != GL_NO_ERROR) {
    }
    glMajorVersion = major;
    glMinorVersion = minor;
    const GLubyte* text = gl->glGetString(GL_VERSION);
    glVersionString = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    context.doneCurrent();
}

} // namespace

bool parseOpenGLVersion(const std::string& versionText, int& major, int& minor) {
    const std::string number = versionText.substr(0, versionText.find(' '));
    const auto firstDot = number.find('.');
    if (firstDot == std::string::npos) return false;
    const auto secondDot = number.find('.', firstDot + 1);
    major = decimalPart(number.substr(0, firstDot));
    minor = decimalPart(number.substr(firstDot + 1, secondDot == std::string::npos ? std::string::npos
                                                                                   : secondDot - firstDot - 1));
    return true;
}

bool detectOpenGLVersion() {
    glMajorVersion = 0;
    glMinorVersion = 0;
    glVersionString.clear();
    {
        QOpenGLContext context;
        if (!context.create()) {
            logWarning("Can't create an OpenGL context");
        } else {
            readVersion(context);
        }
    }
    if (glMajorVersion == 0 && !parseOpenGLVersion(glVersionString, glMajorVersion, glMinorVersion)) {
        glMajorVersion = 0;
        glMinorVersion = 0;
    }
    if (glMajorVersion > 0) {
        logNotice("OpenGL Version: " + std::to_string(glMajorVersion) + "." + std::to_string(glMinorVersion));
    } else {
        logError("OpenGL Version pre 2.1");
    }
    if (glVersionString.empty()) {
        logError("Can't determine OpenGL Version.");
    } else if (isDebugEnabled()) {
        logDebug("Found OpenGL version string '" + glVersionString + "'.");
    }
    return glMajorVersion > 2 || (glMajorVersion == 2 && glMinorVersion >= 1);
}

std::string openGLWarningMessage() {
    std::string text = "OpenGL version " + std::to_string(2) + "." + std::to_string(1) +
                       " is required for optimal graphics performance.  ";
    if (glMajorVersion <= 0) {
        text += "Found OpenGL version earlier than 2.1";
    } else {
        text += "Found OpenGL version '" + std::to_string(glMajorVersion) + "." + std::to_string(glMinorVersion) + "'";
    }
    text += ".\n\n";
    text += "You may continue without OpenGL support, but performance will suffer.  If you are running on a "
            "virtual machine, make sure video hardware acceleration is turned on.\n\n";
    return text;
}

bool showOpenGLWarning() {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Can't use OpenGL for graphics"),
                    QString::fromStdString(openGLWarningMessage()), QMessageBox::NoButton, nullptr);
    box.addButton(QStringLiteral("Proceed without OpenGL support"), QMessageBox::AcceptRole);
    QPushButton* abort = box.addButton(QStringLiteral("Abort"), QMessageBox::RejectRole);
    box.setDefaultButton(abort);
    box.exec();
    return box.clickedButton() != abort;
}

int runQuickOpenGLTest(const std::string& formatText, int contextTimeoutMs) {
    logNotice("Running quick OpenGL tests");
    auto* testWidget = new ClientGLWidget(false);
    mainWidget = testWidget;
    testWidget->show();
    // The programs are built on the first paint: test on a ready canvas. A
    // window whose context cannot be made (no usable OpenGL, the user went
    // on without it) never gets ready.
    QElapsedTimer waited;
    waited.start();
    while (!testWidget->isValid()) {
        if (waited.elapsed() >= contextTimeoutMs) {
            logCritical("The OpenGL test window got no OpenGL context within " + std::to_string(contextTimeoutMs) +
                        " ms");
            logCritical("OpenGL problems detected, check log");
            return -1;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
    if (testWidget->testCopyPerformance(QString::fromStdString(formatText))) {
        logNotice("No OpenGL problems detected");
        return 0;
    }
    logCritical("OpenGL problems detected, check log");
    return -1;
}
