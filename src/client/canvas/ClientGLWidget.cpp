#include "ClientGLWidget.h"

#include "CanvasHost.h"
#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "FrameRenderers.h"
#include "Logging.h"
#include "MemoryCopyTest.h"
#include "OwnerLock.h"
#include "ShaderLoader.h"
#include "StopWatch.h"
#include "VideoFrame.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QThread>
#include <QTimer>

#include <climits>
#include <cstdio>

ClientGLWidget* mainWidget = nullptr;
std::string windowTitleWarning;
std::function<void(int screen)> postScreenClosedHook;
std::function<void(ClientGLWidget* window, bool mainWindow)> webViewFactory;

namespace {

OwnerLock widgetIdLock;
int widgetIdCounter = 0;

int nextWidgetId() {
    ScopedOwnerLock guard(widgetIdLock);
    return widgetIdCounter++;
}

constexpr int quadVertices[4][5] = {
    {-1, -1, 1, 1, 1},
    {1, -1, 1, 0, 1},
    {1, 1, 1, 0, 0},
    {-1, 1, 1, 1, 0},
};

std::string colorFractions(const QColor& color) {
    char text[128];
    std::snprintf(text, sizeof text, "%f, %f, %f, %f", color.redF(), color.greenF(), color.blueF(),
                  color.alphaF());
    return text;
}

// From position `from`: leading blanks, an optional sign, then decimal
// digits up to the first other character (',' skipped when asked, as a
// thousands separator). False without digits or outside 32 bits.
bool parseLeadingNumber(const std::string& text, std::size_t from, bool skipCommas, int& number) {
    std::size_t i = text.find_first_not_of(" \t", from);
    if (i == std::string::npos) return false;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    long long value = 0;
    bool digits = false;
    for (; i < text.size(); ++i) {
        if (skipCommas && text[i] == ',') continue;
        if (text[i] < '0' || text[i] > '9') break;
        value = value * 10 + (text[i] - '0');
        digits = true;
        if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (!digits) return false;
    value = negative ? -value : value;
    if (value > INT_MAX || value < INT_MIN) return false;
    number = static_cast<int>(value);
    return true;
}

} // namespace

bool parseScreenNumber(const std::string& url, int& screen) {
    const std::size_t equals = url.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    return parseLeadingNumber(url, equals + 1, false, screen);
}

ClientGLWidget::ShaderProgram& ClientGLWidget::recordOf(PixelFamily family) {
    switch (family) {
    case PixelFamily::YUV420p: return yuv420pProgram;
    case PixelFamily::YUV444p: return yuv444pProgram;
    case PixelFamily::NV12: return nv12Program;
    case PixelFamily::RGBp: return rgbpProgram;
    case PixelFamily::RGB: break;
    }
    return rgbProgram;
}

const ClientGLWidget::ShaderProgram& ClientGLWidget::program(int colorFormat) const {
    switch (colorFormat) {
    case ColorFormat::YUV420P: return yuv420pProgram;
    case ColorFormat::YUV444P: return yuv444pProgram;
    case ColorFormat::NV12: return nv12Program;
    case ColorFormat::GBRP: return rgbpProgram;
    default: return rgbProgram;
    }
}

// ---------------------------------------------------------------------------
// Window

ClientGLWidget::ClientGLWidget(bool mainWindow, QWidget* parent)
    : QOpenGLWidget(parent), qor::QorCanvas(0, 0), widgetId(nextWidgetId()), mainWindow(mainWindow) {
    layout_ = new QHBoxLayout;
    layout_->setContentsMargins(0, 0, 0, 0);
    setLayout(layout_);

    repaintTimer = new QTimer(this);
    connect(repaintTimer, &QTimer::timeout, this, &ClientGLWidget::scheduleUpdate);
    repaintTimer->start(1);

    // Web view: the web subsystem makes the window's browser here (the
    // connect view for the main window, a screen view otherwise); the view
    // puts itself into the window with hostView.
    if (webViewFactory) webViewFactory(this, mainWindow);
}

ClientGLWidget::~ClientGLWidget() {
    // First of all: no decoder may find this canvas from now on.
    qor::removeCanvas(this);
    logDebug(prefix() + "Deleting ClientGLWidget");
    unloadShaders();
    releaseFrames();
    if (webView && mainWindow) delete webView.data();
    logDebug(prefix() + "ClientGLWidget deleted");
}

void ClientGLWidget::hostView(CanvasHost* view) {
    viewHost = view;
    webView = view != nullptr ? view->hostWidget() : nullptr;
    if (webView) layout_->addWidget(webView);
}

std::string ClientGLWidget::canvasName() const {
    std::lock_guard<std::mutex> guard(labelLock);
    if (hasCanvasLabel) return canvasLabel;
    return "GLWidget_" + std::to_string(widgetId);
}

void ClientGLWidget::setCanvasId(int id) {
    if (id == canvasId()) return;
    const std::string oldName = canvasName();
    qor::QorCanvas::setCanvasId(id);
    std::string label = "GLWidget_" + std::to_string(widgetId);
    if (id == qor::CANVAS_ID_CONTROL_WINDOW) {
        label += " (crtl)";
    } else if (id != qor::CANVAS_ID_UNASSIGNED) {
        label += " (" + std::to_string(id) + ")";
    }
    {
        std::lock_guard<std::mutex> guard(labelLock);
        canvasLabel = label;
        hasCanvasLabel = true;
    }
    logDebug(label + " <= " + oldName);
}

bool ClientGLWidget::supportsColorFormat(int colorFormat) {
    switch (colorFormat) {
    case ColorFormat::YUV420P: return yuv420pProgram.linked;
    case ColorFormat::YUV444P: return yuv444pProgram.linked;
    case ColorFormat::NV12: return nv12Program.linked;
    case ColorFormat::GBRP: return rgbpProgram.linked;
    case ColorFormat::RGB24: return true;
    default: return false;
    }
}

void ClientGLWidget::clearScreen() {
    logDebug(prefix() + "Clearing screen");
    QPointer<ClientGLWidget> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
            if (self) self->clearStep();
        },
        Qt::QueuedConnection);
}

void ClientGLWidget::clearStep() {
    logDebug(prefix() + "Clearing screen, thread");
    if (transparent) unsetTransparent();
    uploadBlankTexture();
    frames.forgetSize();
    releaseFrames();
}

void ClientGLWidget::refreshScreen() {
    if (closing) return;
    logDebug(prefix() + "Refresh screen");
    QPointer<ClientGLWidget> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
            // A window that closed meanwhile may have lost its view.
            if (!self || self->closing) return;
            logDebug(self->prefix() + "Refresh screen, thread");
            if (CanvasHost* view = self->liveHost()) view->redrawWindow();
        },
        Qt::QueuedConnection);
}

bool ClientGLWidget::resizeCanvas(int width, int height) {
    if (closing) return true;
    QPointer<ClientGLWidget> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, width, height] {
            if (!self || self->closing || !self->webView) return;
            self->webView->resize(width, height);
        },
        Qt::QueuedConnection);
    qor::QorCanvas::width = width;
    qor::QorCanvas::height = height;
    return true;
}

void ClientGLWidget::deleteCanvasObject() {
    logDebug(prefix() + "Delete object");
    QPointer<ClientGLWidget> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
            if (!self) return;
            logDebug(self->prefix() + "Deleting object");
            delete self.data();
        },
        Qt::QueuedConnection);
}

void ClientGLWidget::closeEvent(QCloseEvent* event) {
    closing = true;
    const int id = canvasId();
    if (this == mainWidget) {
        logDebug(prefix() + "Received close-event, main window");
    } else if (id >= 0) {
        logDebug(prefix() + "Received close-event, screen " + std::to_string(id));
        if (postScreenClosedHook) postScreenClosedHook(id);
    } else {
        logDebug(prefix() + "Close-event during start up of window, ignoring ...");
    }
    if (CanvasHost* view = liveHost()) {
        layout_->removeWidget(webView);
        webView->setParent(nullptr);
        view->detachCanvas();
        webView->close();
    }
    QThread::msleep(100);
    QWidget::closeEvent(event);
}

void ClientGLWidget::loadFinished(bool ok) {
    CanvasHost* view = liveHost();
    handlePageLoaded(ok, view != nullptr ? view->pageUrl() : QUrl());
}

void ClientGLWidget::handlePageLoaded(bool ok, const QUrl& url) {
    if (!ok) {
        logDebug(prefix() + "Loading still unsuccessful.");
        return;
    }
    const std::string text = url.toString(QUrl::FullyEncoded).toStdString();
    logDebug(prefix() + "Child window connected with URL " + text);
    int screen = 0;
    if (!parseScreenNumber(text, screen)) return;
    if (registered) {
        // A reload or Back: the canvas is in the registry or with the
        // screen's decoder, which gives it back. Adding it again would hand
        // it to a second decoder and leave it there after the window is gone;
        // the window keeps the screen it was registered for.
        logDebug(prefix() + "Window of screen " + std::to_string(canvasId()) + " already registered, page of screen " +
                 std::to_string(screen) + " loaded");
        screen = canvasId();
    } else {
        if (isTraceEnabled()) logTrace(prefix() + "Adding canvas " + std::to_string(screen));
        setCanvasId(screen);
        registered = qor::addCanvas(this);
        // The page may have placed its canvas before the window knew its
        // screen: that viewport was logged under the window's bare name, and
        // it is logged again under the screen's so that the screen's lines
        // tell where its picture is.
        if (viewportSet) traceViewport();
    }
    const QString host = url.toString(QUrl::RemovePath | QUrl::RemoveQuery);
    QString title = QStringLiteral("Screen %1 - %2 - Quarrydesk Client").arg(screen).arg(host);
    if (!windowTitleWarning.empty()) title = QString::fromStdString(windowTitleWarning) + "  -  " + title;
    if (CanvasHost* view = liveHost()) {
        view->setWindowsTitle(title);
    } else {
        setWindowTitle(title);
    }
}

void ClientGLWidget::cleanup() {
    // The main window's view stops the NativeClient and the js-bridge.
    if (CanvasHost* view = liveHost()) view->cleanup();
}

// ---------------------------------------------------------------------------
// Frame hand-over

void ClientGLWidget::presentFrame(qor::VideoFrame* frame) { frames.present(frame); }

void ClientGLWidget::resetFrames() {
    {
        ScopedOwnerLock guard(frameLocks[0]);
        decoderAttached = false;
    }
    releaseFrames();
}

void ClientGLWidget::releaseFrames() { frames.release(); }

void ClientGLWidget::scheduleUpdate() {
    if (!frames.takeNewFrame()) return;
    ++updateRequestCount;
    update();
}

// ---------------------------------------------------------------------------
// Rendering

void ClientGLWidget::withContext(const std::function<void()>& work) {
    if (glCurrent) {
        work();
        return;
    }
    if (!glReady || context() == nullptr) return;
    makeCurrent();
    glCurrent = true;
    work();
    glCurrent = false;
    doneCurrent();
}

void ClientGLWidget::clearBuffers() {
    glClearColor(clearColor.redF(), clearColor.greenF(), clearColor.blueF(), clearColor.alphaF());
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
}

void ClientGLWidget::initializeGL() {
    glCurrent = true;
    logDebug(prefix() + "Initializing OpenGL");
    StopWatch total(true);
    if (clientOpenGLRenderMode.get() == "quads") {
        logDebug(prefix() + "Rendering quads");
        quadsMode = true;
    } else if (clientOpenGLRenderMode.get() == "normal") {
        logDebug(prefix() + "Rendering triangles");
        quadsMode = false;
    } else {
        logNotice(prefix() + "Turning off OpenGL rendering");
        clientNativeDecoding.trySet(false);
    }
    initializeOpenGLFunctions();
    if (isTraceEnabled()) logTrace(prefix() + "initial setClearColor: " + colorFractions(clearColor));
    clearBuffers();
    uploadedSerial = 0;
    static const char* const boundTexts[3] = {"Bound texture (plane 0/RGB24) ", "Bound texture (plane 1) ",
                                              "Bound texture (plane 2) "};
    for (int k = 0; k < 3; ++k) {
        const GLuint texture = planeTextures.create(*this, k);
        if (isTraceEnabled()) {
            logTrace(prefix() + boundTexts[k] + std::to_string(texture) + ", 'texture" + std::to_string(k) + "'");
        }
        if (k != 1) {
            glEnable(GL_DEPTH_TEST);
            glEnable(GL_CULL_FACE);
        }
    }
    // Every paint draws the picture at the same depth: a repaint into a
    // framebuffer that was not cleared must pass the depth test as well.
    glDepthFunc(GL_LEQUAL);
    uploadBlankTexture();
    shaderLoader = std::make_unique<ShaderLoader>(*this, *this, planeTextures);
    StopWatch shaders(true);
    loadShaders();
    const long long shaderMillis = shaders.elapsed();
    if (!quadsMode) createVertexBuffer();
    renderers = std::make_unique<FrameRenderers>(*this, planeTextures,
                                                 [this](PixelFamily family) -> const ShaderProgram& {
                                                     return recordOf(family);
                                                 });
    glReady = true;
    logDebug("Initializing OpenGL took " + std::to_string(total.elapsed()) + ", loading shaders took " +
             std::to_string(shaderMillis) + "ms");
    glCurrent = false;
}

void ClientGLWidget::paintGL() {
    if (closing || !decoderAttached) return;
    FrameSlots::Newest newest(frames);
    if (newest.frame == nullptr) return;
    glCurrent = true;
    if (frames.width() > 0 && frames.height() > 0) glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    if (!transparent) setTransparent();
    FrameRenderer* renderer = renderers ? renderers->forFormat(newest.frame->colorFormat()) : nullptr;
    if (renderer != nullptr) {
        render(*renderer, *newest.frame, newest.serial);
    } else {
        logCritical(prefix() + "Trying to render unsupported color format");
    }
    glCurrent = false;
    if (renderer != nullptr && !clientDoubleBuffering.get()) update();
}

void ClientGLWidget::render(FrameRenderer& renderer, const qor::VideoFrame& frame, std::uint64_t serial) {
    if (!decoderAttached || !renderer.ready()) return;
    // The textures still hold this frame when an earlier paint loaded it
    // (expose, resize, a page-driven repaint): draw them as they are.
    if (serial != uploadedSerial) {
        renderer.upload(frame);
        uploadedSerial = serial;
    }
    renderer.prepareDraw(quadsMode);
    glActiveTexture(GL_TEXTURE0);
    glEnable(GL_TEXTURE_2D);
    if (quadsMode) {
        drawQuad();
    } else {
        drawTriangleFan();
    }
}

void ClientGLWidget::drawTriangleFan() {
    // Attribute 0 was pointed at the vertex buffer once, when it was made.
    glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
    glFinish();
}

void ClientGLWidget::drawQuad() {
    glBegin(GL_QUADS);
    glTexCoord2i(0, 1);
    glVertex3f(-1.0f, -1.0f, 0.0f);
    glTexCoord2i(1, 1);
    glVertex3f(1.0f, -1.0f, 0.0f);
    glTexCoord2i(1, 0);
    glVertex3f(1.0f, 1.0f, 0.0f);
    glTexCoord2i(0, 0);
    glVertex3f(-1.0f, 1.0f, 0.0f);
    glEnd();
    glDisable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, 0);
    glFinish();
}

void ClientGLWidget::createVertexBuffer() {
    float vertices[20];
    for (int v = 0; v < 4; ++v) {
        for (int c = 0; c < 5; ++c) vertices[v * 5 + c] = static_cast<float>(quadVertices[v][c]);
    }
    if (isTraceEnabled()) logTrace(prefix() + "creating vertex array buffer");
    glGenBuffers(1, &vertexBuffer);
    if (isTraceEnabled()) logTrace(prefix() + "binding vertex array buffer");
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer);
    if (isTraceEnabled()) logTrace(prefix() + "assigning data to buffer");
    glBufferData(GL_ARRAY_BUFFER, sizeof vertices, vertices, GL_STATIC_DRAW);
    // The buffer feeds attribute 0 of every draw in this context.
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_TRUE, 5 * sizeof(float), nullptr);
}

void ClientGLWidget::uploadBlankTexture() {
    withContext([this] {
        planeTextures.loadBlank(*this);
        uploadedSerial = 0;
    });
}

bool ClientGLWidget::setViewport(int x, int y, int width, int height) {
    if (viewport[0] == x && viewport[1] == y && viewport[2] == width && viewport[3] == height) return false;
    viewport[0] = x;
    viewport[1] = y;
    viewport[2] = width;
    viewport[3] = height;
    viewportSet = true;
    traceViewport();
    return true;
}

void ClientGLWidget::traceViewport() const {
    if (!isTraceEnabled()) return;
    logTrace(prefix() + "Viewport changed to " + std::to_string(viewport[0]) + " " + std::to_string(viewport[1]) +
             " / W:" + std::to_string(viewport[2]) + ", H:" + std::to_string(viewport[3]));
}

void ClientGLWidget::setClearColor(const QColor& color) {
    if (isTraceEnabled()) {
        logTrace("setClearColor from: (" + colorFractions(clearColor) + ") to (" + colorFractions(color) + ")");
    }
    clearColor = color;
}

void ClientGLWidget::setTransparent() {
    // The page's background colour decides; a window without a browser
    // counts as not transparent yet.
    CanvasHost* view = liveHost();
    if (view == nullptr || view->pageBackgroundColor() != QColor(Qt::transparent)) {
        logDebug(prefix() + "setTransparent()");
        if (view != nullptr) {
            webView->setAttribute(Qt::WA_TranslucentBackground, true);
            view->setPageBackgroundColor(Qt::transparent);
        }
        withContext([this] { clearBuffers(); });
    }
    transparent = true;
}

void ClientGLWidget::unsetTransparent() {
    logDebug(prefix() + "unsetTransparent()");
    if (CanvasHost* view = liveHost()) {
        webView->setAttribute(Qt::WA_TranslucentBackground, false);
        view->setPageBackgroundColor(Qt::black);
    }
    setClearColor(Qt::white);
    withContext([this] { clearBuffers(); });
    transparent = false;
}

// ---------------------------------------------------------------------------
// Shader programs

void ClientGLWidget::loadShaders() {
    if (clientHwColorConversion.get()) {
        if (!quadsMode) programRGBShader();
        programRGBpShader();
        programNV12Shaders();
        programYUV420pShaders();
        programYUV444pShaders();
        return;
    }
    logDebug(prefix() + "Shader color conversion disabled");
    if (quadsMode) return;
    if (!programRGBShader()) {
        logCritical(prefix() + "Can't load shader for rendering stream");
        logCritical(prefix() + "Try to set 'Client.openGLRenderMode' to 'quads'");
    }
}

bool ClientGLWidget::programYUV420pShaders() { return buildProgram(PixelFamily::YUV420p); }
bool ClientGLWidget::programYUV444pShaders() { return buildProgram(PixelFamily::YUV444p); }
bool ClientGLWidget::programNV12Shaders() { return buildProgram(PixelFamily::NV12); }
bool ClientGLWidget::programRGBpShader() { return buildProgram(PixelFamily::RGBp); }
bool ClientGLWidget::programRGBShader() { return buildProgram(PixelFamily::RGB); }

// GL context current.
bool ClientGLWidget::buildProgram(PixelFamily family) {
    return shaderLoader != nullptr && shaderLoader->build(family, recordOf(family));
}

void ClientGLWidget::unloadShaders() {
    constexpr PixelFamily order[] = {PixelFamily::RGB, PixelFamily::RGBp, PixelFamily::NV12, PixelFamily::YUV420p,
                                     PixelFamily::YUV444p};
    if (isTraceEnabled()) logTrace(prefix() + "Unloading shaders");
    withContext([this, &order] {
        if (shaderLoader == nullptr) return;
        for (PixelFamily family : order) shaderLoader->unload(family, recordOf(family));
    });
    for (PixelFamily family : order) recordOf(family).linked = false;
    if (isTraceEnabled()) logTrace(prefix() + "Done unloading shaders");
}

// ---------------------------------------------------------------------------
// Quick OpenGL test

bool ClientGLWidget::testCopyPerformance(const QString& formatText) {
    const std::string text = formatText.toStdString();
    logDebug("Testing copy performance");
    measureMemoryCopy();
    logDebug("Testing copy performance done");
    int code = 0;
    if (text.empty()) {
        // Nothing to ask the window: the copy timings are the test.
        logDebug("Format check skipped");
        return true;
    }
    const bool supported = parseLeadingNumber(text, 0, true, code) && supportsColorFormat(code);
    logDebug("Format '" + text + (supported ? "' supported" : "' not supported"));
    return supported;
}

void ClientGLWidget::measureMemoryCopy() { MemoryCopyTest::run(); }
