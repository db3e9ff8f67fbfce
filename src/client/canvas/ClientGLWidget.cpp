#include "ClientGLWidget.h"

#include "CanvasHost.h"
#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "CopyTimeStats.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "FileHelpers.h"
#include "Logging.h"
#include "OwnerLock.h"
#include "ShaderSources.h"
#include "StopWatch.h"
#include "TextureUpload.h"
#include "Utilities.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

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

// The 8 x 8 white picture of a blank screen, one byte per texel.
unsigned char whiteTexels[64];

constexpr int quadVertices[4][5] = {
    {-1, -1, 1, 1, 1},
    {1, -1, 1, 0, 1},
    {1, 1, 1, 0, 0},
    {-1, 1, 1, 1, 0},
};

constexpr std::size_t shaderBufferSize = 10485760;

std::string colorFractions(const QColor& color) {
    char text[128];
    std::snprintf(text, sizeof text, "%f, %f, %f, %f", color.redF(), color.greenF(), color.blueF(),
                  color.alphaF());
    return text;
}

std::string fixed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
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

// Per-program texts and settings.
struct ClientGLWidget::ProgramTexts {
    const char* reprogramming;
    const char* programming;
    const char* createFailure;
    const char* linkFailure;
    const char* linked;
    bool linkedAtDebug;
    const char* failureTail;
    const char* successTail;
    const char* unloading;
    qor::ConfigFilePathValue* vertexSetting;
    qor::ConfigFilePathValue* fragmentSetting;
    const char* const* fragmentSource;
    int samplers;
    // Binds the plane texture of every sampler's unit while assigning
    // samplers (otherwise only unit 0's).
    bool bindEveryUnit;
};

const ClientGLWidget::ProgramTexts& ClientGLWidget::textsOf(Family family) {
    static const ProgramTexts yuv420p{": Reprogramming OpenGL YUV420p shaders",
                                      ": Programming OpenGL YUV420p shaders",
                                      ": Can't create OpenGL YUV420p program object",
                                      ": YUV420p shader program not compiled",
                                      ": YUV420p shader program compiled",
                                      true,
                                      "' to yuv420p shader program",
                                      "' to yuv420p shader program '",
                                      nullptr,
                                      &clientOpenGLVShaderYUV420p,
                                      &clientOpenGLFShaderYUV420p,
                                      &yuvFragmentSource,
                                      3,
                                      true};
    static const ProgramTexts yuv444p{": Reprogramming OpenGL YUV444p shaders",
                                      ": Programming OpenGL YUV444p shaders",
                                      ": Can't create OpenGL YUV444p program object",
                                      ": YUV444p shader program not compiled",
                                      ": YUV444p shader program compiled",
                                      false,
                                      "' to yuv444p shader program",
                                      "' to yuv444p shader program '",
                                      nullptr,
                                      &clientOpenGLVShaderYUV444p,
                                      &clientOpenGLFShaderYUV444p,
                                      &yuvFragmentSource,
                                      3,
                                      true};
    static const ProgramTexts nv12{": Reprogramming OpenGL NV12 shaders",
                                   ": Programming OpenGL NV12 shaders",
                                   ": Can't create OpenGL program object",
                                   ": NV12 shader program not compiled",
                                   ": NV12 shader program compiled",
                                   false,
                                   "' to NV12 shader program",
                                   "' to NV12 shader program '",
                                   "Unloading NV12 shaders",
                                   &clientOpenGLVShaderNV12,
                                   &clientOpenGLFShaderNV12,
                                   &nv12FragmentSource,
                                   2,
                                   true};
    static const ProgramTexts rgbp{": Reprogramming OpenGL RGBp shader",
                                   ": Programming OpenGL RGBp shader",
                                   ": Can't create OpenGL program object",
                                   ": RGBp shader program not compiled",
                                   ": RGBp shader program compiled",
                                   true,
                                   "' to shader program",
                                   "' to shader program '",
                                   "Unloading RGBp shaders",
                                   &clientOpenGLVShaderRGBp,
                                   &clientOpenGLFShaderRGBp,
                                   &rgbpFragmentSource,
                                   3,
                                   false};
    static const ProgramTexts rgb{": Reprogramming OpenGL shader",
                                  ": Programming OpenGL shader",
                                  ": Can't create OpenGL program object",
                                  ": RGB shader program not compiled",
                                  ": RGB shader program compiled",
                                  false,
                                  "' to shader program",
                                  "' to shader program '",
                                  "Unloading RGB shaders",
                                  &clientOpenGLVShaderRGB,
                                  &clientOpenGLFShaderRGB,
                                  &rgbFragmentSource,
                                  1,
                                  false};
    switch (family) {
    case Family::YUV420p: return yuv420p;
    case Family::YUV444p: return yuv444p;
    case Family::NV12: return nv12;
    case Family::RGBp: return rgbp;
    case Family::RGB: break;
    }
    return rgb;
}

ClientGLWidget::ShaderProgram& ClientGLWidget::recordOf(Family family) {
    switch (family) {
    case Family::YUV420p: return yuv420pProgram;
    case Family::YUV444p: return yuv444pProgram;
    case Family::NV12: return nv12Program;
    case Family::RGBp: return rgbpProgram;
    case Family::RGB: break;
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
    frameWidth = 0;
    frameHeight = 0;
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

void ClientGLWidget::presentFrame(qor::VideoFrame* frame) {
    if (frame == nullptr) return;
    qor::VideoFrame* source = nullptr;
    if (!TextureUpload::drawableAsIs(*frame)) {
        qor::VideoFrame* copy = decodedFrameAllocator.allocate(frame->colorFormat(), frame->width(), frame->height());
        if (copy == nullptr || !static_cast<qor::DecodedVideoFrame*>(copy)->copyFrom(*frame)) {
            // A copy that could not be filled would show garbage: drop it.
            qor::releaseVideoFrame(&copy);
            qor::releaseVideoFrame(&frame);
            return;
        }
        source = frame;
        frame = copy;
    }
    qor::VideoFrame* old = nullptr;
    {
        std::lock_guard<std::mutex> presenting(presentLock);
        const int slot = writeIndex.load();
        ScopedOwnerLock guard(frameLocks[slot]);
        old = frameSlots[slot];
        frameSlots[slot] = frame;
        if (frame->width() != frameWidth || frame->height() != frameHeight) {
            frameWidth = frame->width();
            frameHeight = frame->height();
        }
        writeIndex = 1 - slot;
    }
    ++presentedCount;
    newFrame = true;
    qor::releaseVideoFrame(&old);
    qor::releaseVideoFrame(&source);
}

void ClientGLWidget::resetFrames() {
    {
        ScopedOwnerLock guard(frameLocks[0]);
        decoderAttached = false;
    }
    releaseFrames();
}

void ClientGLWidget::releaseFrames() {
    for (int slot = 0; slot < 2; ++slot) {
        qor::VideoFrame* frame = nullptr;
        {
            ScopedOwnerLock guard(frameLocks[slot]);
            frame = frameSlots[slot];
            frameSlots[slot] = nullptr;
        }
        qor::releaseVideoFrame(&frame);
    }
}

void ClientGLWidget::scheduleUpdate() {
    if (!newFrame.exchange(false)) return;
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
    std::memset(whiteTexels, 0xFF, sizeof whiteTexels);
    static const char* const boundTexts[3] = {"Bound texture (plane 0/RGB24) ", "Bound texture (plane 1) ",
                                              "Bound texture (plane 2) "};
    for (int k = 0; k < 3; ++k) {
        glActiveTexture(GL_TEXTURE0 + k);
        glGenTextures(1, &planeTextures[k]);
        glBindTexture(GL_TEXTURE_2D, planeTextures[k]);
        if (isTraceEnabled()) {
            logTrace(prefix() + boundTexts[k] + std::to_string(planeTextures[k]) + ", 'texture" + std::to_string(k) +
                     "'");
        }
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        if (k != 1) {
            glEnable(GL_DEPTH_TEST);
            glEnable(GL_CULL_FACE);
        }
    }
    // Every paint draws the picture at the same depth: a repaint into a
    // framebuffer that was not cleared must pass the depth test as well.
    glDepthFunc(GL_LEQUAL);
    uploadBlankTexture();
    StopWatch shaders(true);
    loadShaders();
    const long long shaderMillis = shaders.elapsed();
    if (!quadsMode) createVertexBuffer();
    glReady = true;
    logDebug("Initializing OpenGL took " + std::to_string(total.elapsed()) + ", loading shaders took " +
             std::to_string(shaderMillis) + "ms");
    glCurrent = false;
}

void ClientGLWidget::paintGL() {
    if (closing || !decoderAttached) return;
    const int slot = 1 - writeIndex.load();
    ScopedOwnerLock guard(frameLocks[slot]);
    qor::VideoFrame* frame = frameSlots[slot];
    if (frame == nullptr) return;
    glCurrent = true;
    if (frameWidth > 0 && frameHeight > 0) glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    if (!transparent) setTransparent();
    bool drawn = true;
    switch (frame->colorFormat()) {
    case ColorFormat::RGB24:
    case ColorFormat::RGBA:
    case ColorFormat::RGB10: renderPlanes(Family::RGB, *frame); break;
    case ColorFormat::GBRP: renderPlanes(Family::RGBp, *frame); break;
    case ColorFormat::YUV420P: renderPlanes(Family::YUV420p, *frame); break;
    case ColorFormat::YUV444P: renderPlanes(Family::YUV444p, *frame); break;
    case ColorFormat::NV12: renderPlanes(Family::NV12, *frame); break;
    default:
        logCritical(prefix() + "Trying to render unsupported color format");
        drawn = false;
        break;
    }
    glCurrent = false;
    if (drawn && !clientDoubleBuffering.get()) update();
}

void ClientGLWidget::uploadPlane(const PlaneUpload& upload) {
    glActiveTexture(GL_TEXTURE0 + upload.unit);
    glBindTexture(GL_TEXTURE_2D, planeTextures[upload.unit]);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, upload.rowLength);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(upload.internalFormat), upload.width, upload.height, 0,
                 upload.format, upload.type, upload.data);
}

void ClientGLWidget::renderPlanes(Family family, const qor::VideoFrame& frame) {
    if (!decoderAttached) return;
    const ShaderProgram& record = recordOf(family);
    if (family != Family::RGB) {
        if (!record.linked) return;
        glUseProgram(record.program);
    }
    PlaneUpload uploads[3];
    const int count = TextureUpload::planeUploads(frame, uploads);
    // Rows are described exactly: any width, any line size.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < count; ++i) uploadPlane(uploads[i]);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (family != Family::RGB) {
        for (int k = 0; k < textsOf(family).samplers; ++k) glUniform1i(record.samplerLocations[k], k);
    }
    glActiveTexture(GL_TEXTURE0);
    glEnable(GL_TEXTURE_2D);
    if (quadsMode) {
        // RGB is drawn by the fixed pipeline, never by a colour-conversion
        // program left current by an earlier frame.
        if (family == Family::RGB) glUseProgram(0);
        drawQuad();
    } else {
        if (family == Family::RGB) glUseProgram(rgbProgram.program);
        drawTriangleFan();
    }
}

void ClientGLWidget::drawTriangleFan() {
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_TRUE, 5 * sizeof(float), nullptr);
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
}

void ClientGLWidget::uploadBlankTexture() {
    withContext([this] {
        glBindTexture(GL_TEXTURE_2D, planeTextures[0]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, 8, 8, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, whiteTexels);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        glBindTexture(GL_TEXTURE_2D, planeTextures[0]);
    });
}

void ClientGLWidget::setViewport(int x, int y, int width, int height) {
    if (viewport[0] == x && viewport[1] == y && viewport[2] == width && viewport[3] == height) return;
    if (isTraceEnabled()) {
        logTrace(prefix() + "Viewport changed to " + std::to_string(x) + " " + std::to_string(y) +
                 " / W:" + std::to_string(width) + ", H:" + std::to_string(height));
    }
    viewport[0] = x;
    viewport[1] = y;
    viewport[2] = width;
    viewport[3] = height;
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

bool ClientGLWidget::programYUV420pShaders() { return buildProgram(Family::YUV420p); }
bool ClientGLWidget::programYUV444pShaders() { return buildProgram(Family::YUV444p); }
bool ClientGLWidget::programNV12Shaders() { return buildProgram(Family::NV12); }
bool ClientGLWidget::programRGBpShader() { return buildProgram(Family::RGBp); }
bool ClientGLWidget::programRGBShader() { return buildProgram(Family::RGB); }

bool ClientGLWidget::buildProgram(Family family) {
    const ProgramTexts& texts = textsOf(family);
    ShaderProgram& record = recordOf(family);
    if (record.program != 0 && glIsProgram(record.program)) {
        logDebug(prefix() + (texts.reprogramming + 2));
        unloadProgram(family);
    } else if (isTraceEnabled()) {
        logTrace(prefix() + (texts.programming + 2));
    }
    record.linked = false;
    record.program = glCreateProgram();
    if (record.program == 0) {
        logCritical(prefix() + (texts.createFailure + 2));
        unloadProgram(family);
        return false;
    }
    if (!loadSingleShader(vertexShaderSource, texts.vertexSetting->fileName().empty() ? "" : texts.vertexSetting->get(),
                          &record.vertexShader, true, record.program) ||
        !loadSingleShader(*texts.fragmentSource,
                          texts.fragmentSetting->fileName().empty() ? "" : texts.fragmentSetting->get(),
                          &record.fragmentShader, false, record.program)) {
        unloadProgram(family);
        return false;
    }
    glBindAttribLocation(record.program, 0, "position");
    glLinkProgram(record.program);
    GLint status = 0;
    glGetProgramiv(record.program, GL_LINK_STATUS, &status);
    if (status == 0) {
        logCritical(prefix() + (texts.linkFailure + 2));
        unloadProgram(family);
        return false;
    }
    if (texts.linkedAtDebug) {
        logDebug(prefix() + (texts.linked + 2));
    } else if (isTraceEnabled()) {
        logTrace(prefix() + (texts.linked + 2));
    }
    for (int k = 0; k < texts.samplers; ++k) {
        if (k == 0 || texts.bindEveryUnit) {
            glActiveTexture(GL_TEXTURE0 + k);
            glBindTexture(GL_TEXTURE_2D, planeTextures[k]);
        }
        const std::string sampler = "texture" + std::to_string(k);
        record.samplerLocations[k] = glGetUniformLocation(record.program, sampler.c_str());
        if (record.samplerLocations[k] < 0) {
            logCritical(prefix() + "Error assigning uniform of '" + sampler + texts.failureTail);
            unloadProgram(family);
            return false;
        }
        if (isTraceEnabled()) {
            logTrace(prefix() + "Assigned uniform of '" + sampler + texts.successTail +
                     std::to_string(record.samplerLocations[k]) + "'");
        }
    }
    if (family == Family::NV12) logDebug("Loaded NV12 shaders");
    record.linked = true;
    return true;
}

bool ClientGLWidget::loadSingleShader(const char* builtIn, const std::string& path, GLuint* shader, bool vertex,
                                      GLuint program) {
    const std::string kind = vertex ? "vertex" : "fragment";
    std::string source;
    if (!path.empty()) {
        logNotice(prefix() + "Loading " + kind + " shader code from '" + path + "'");
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[shaderBufferSize]);
        if (!buffer) {
            logCritical("Malloc error in loadSingleShader");
            return false;
        }
        FileHandle file = openFileWithMode(path, 0, true);
        if (file) {
            std::size_t total = 0;
            const std::size_t limit = shaderBufferSize - 1;
            while (total < limit) {
                const std::ptrdiff_t got = file.read(buffer.get() + total, limit - total);
                if (got <= 0) break;
                total += static_cast<std::size_t>(got);
            }
            if (total == limit) {
                logWarning(prefix() + "File size of '" + path + "' properly too large, read " + std::to_string(total) +
                           " bytes");
            }
            source.assign(buffer.get(), total);
            logDebug(prefix() + "Shader source (" + kind + "):\n" + source);
        } else {
            logWarning(prefix() + "Can't read '" + path + "'");
            logWarning(prefix() + "Defaulting to build-in " + kind + " shader");
            source = builtIn;
        }
    } else {
        if (isTraceEnabled()) logTrace(prefix() + "Using build-in " + kind + " shader");
        source = builtIn;
    }
    *shader = glCreateShader(vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER);
    if (*shader == 0) {
        logCritical(prefix() + "Can't create " + kind + " shader object");
        return false;
    }
    const char* text = source.c_str();
    glShaderSource(*shader, 1, &text, nullptr);
    glCompileShader(*shader);
    GLint compiled = 0;
    glGetShaderiv(*shader, GL_COMPILE_STATUS, &compiled);
    if (compiled != 0) {
        logDebug(prefix() + kind + " shader compiled");
        glAttachShader(program, *shader);
        return true;
    }
    logCritical(prefix() + kind + " shader not compiled");
    logWarning(prefix() + "Shader source (" + kind + "):\n" + source);
    GLint length = 0;
    glGetShaderiv(*shader, GL_INFO_LOG_LENGTH, &length);
    logCritical(prefix() + "Reason '" + std::to_string(length) + "'");
    std::string info(static_cast<std::size_t>(length > 1 ? length : 1), '\0');
    glGetShaderInfoLog(*shader, static_cast<GLsizei>(info.size()), nullptr, &info[0]);
    logCritical(prefix() + "Reason '" + std::string(info.c_str()) + "'");
    return false;
}

void ClientGLWidget::unloadShaders() {
    if (isTraceEnabled()) logTrace(prefix() + "Unloading shaders");
    withContext([this] {
        for (Family family : {Family::RGB, Family::RGBp, Family::NV12, Family::YUV420p, Family::YUV444p}) {
            unloadProgram(family);
        }
    });
    for (Family family : {Family::RGB, Family::RGBp, Family::NV12, Family::YUV420p, Family::YUV444p}) {
        recordOf(family).linked = false;
    }
    if (isTraceEnabled()) logTrace(prefix() + "Done unloading shaders");
}

// GL context current.
void ClientGLWidget::unloadProgram(Family family) {
    const ProgramTexts& texts = textsOf(family);
    ShaderProgram& record = recordOf(family);
    if (texts.unloading != nullptr && isTraceEnabled()) logTrace(texts.unloading);
    if (record.vertexShader != 0) glDeleteShader(record.vertexShader);
    if (record.fragmentShader != 0) glDeleteShader(record.fragmentShader);
    if (record.program != 0) glDeleteProgram(record.program);
    record.vertexShader = 0;
    record.fragmentShader = 0;
    record.program = 0;
    record.linked = false;
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

void ClientGLWidget::measureMemoryCopy() {
    struct Pass {
        const char* name;
        std::size_t luma;
        std::size_t chroma;
        std::size_t destination;
    };
    static const Pass passes[2] = {{"4k", 8294400, 2073600, 33177600}, {"8k", 33177600, 8294400, 132710400}};
    for (const Pass& pass : passes) {
        copyTimeStats.reset();
        std::unique_ptr<unsigned char[]> destination(new (std::nothrow) unsigned char[pass.destination]);
        std::unique_ptr<unsigned char[]> planes[3];
        const std::size_t sizes[3] = {pass.luma, pass.chroma, pass.chroma};
        bool allocated = destination != nullptr;
        for (int k = 0; k < 3 && allocated; ++k) {
            planes[k].reset(new (std::nothrow) unsigned char[sizes[k]]);
            allocated = planes[k] != nullptr;
        }
        if (!allocated) {
            logError(std::string("Memory copy ") + pass.name + ": not enough memory for the test buffers");
            continue;
        }
        // Changing bytes from the clock (read once per 4 KiB: reading it per
        // byte would take longer than the copies).
        for (int k = 0; k < 3; ++k) {
            unsigned char value = 0;
            for (std::size_t i = 0; i < sizes[k]; ++i) {
                if (i % 4096 == 0) value = static_cast<unsigned char>(monotonicMillis());
                planes[k][i] = static_cast<unsigned char>(value + i);
            }
        }
        for (int repetition = 0; repetition < 10; ++repetition) {
            const std::int64_t t0 = monotonicMillis();
            std::memcpy(destination.get(), planes[0].get(), sizes[0]);
            std::memcpy(destination.get() + sizes[0], planes[1].get(), sizes[1]);
            std::memcpy(destination.get() + sizes[0] + sizes[1], planes[2].get(), sizes[2]);
            copyTimeStats.add(static_cast<double>(monotonicMillis() - t0));
        }
        logNotice(std::string("Memory copy ") + pass.name + ": avg " + fixed(copyTimeStats.reportedAverage()) +
                  " ms, min/max " + fixed(copyTimeStats.minimum) + " / " + fixed(copyTimeStats.maximum));
        copyTimeStats.maximum = 0;
        copyTimeStats.minimum = 2147483647;
    }
}
