// The top-level window of one remote screen and, at the same time, the
// canvas into which that screen's video is drawn with OpenGL. Decoder and
// colour-conversion threads hand frames over through two locked frame
// slots (FrameSlots); a 1 ms timer on the GUI thread polls a new-frame flag
// and repaints. Each paint draws the newest frame with the renderer of its
// pixel family (FrameRenderers) and the family's GLSL program (ShaderLoader).
// Every other request of another thread is queued to the GUI thread. The
// window hosts a browser view (CanvasHost) that lies over the picture.
#pragma once

#include "FrameSlots.h"
#include "PixelFamily.h"
#include "PlaneTextures.h"
#include "QorCanvas.h"
#include "ShaderProgram.h"

#include <QByteArray>
#include <QColor>
#include <QOpenGLFunctions_2_0>
#include <QOpenGLWidget>
#include <QPointer>
#include <QRect>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CanvasHost;
class FrameRenderer;
class FrameRenderers;
class QHBoxLayout;
class QTimer;
class ShaderLoader;

class ClientGLWidget : public QOpenGLWidget, public qor::QorCanvas, public QOpenGLFunctions_2_0 {
    Q_OBJECT

public:
    using ShaderProgram = ::ShaderProgram;

    explicit ClientGLWidget(bool mainWindow, QWidget* parent = nullptr);
    ~ClientGLWidget() override;

    // width() and height() are the window's; the canvas size set by
    // resizeCanvas is qor::QorCanvas::width / height.
    using QOpenGLWidget::height;
    using QOpenGLWidget::width;

    QSize sizeHint() const override { return QSize(1920, 1080); }
    QSize minimumSizeHint() const override { return QSize(50, 50); }

    // Canvas operations (any thread unless noted).
    bool supportsColorFormat(int colorFormat) override;
    void presentFrame(qor::VideoFrame* frame) override;
    std::string canvasName() const override;
    void setCanvasId(int id) override;
    void clearScreen() override;
    void refreshScreen() override;
    bool resizeCanvas(int width, int height) override;
    void deleteCanvasObject() override;
    void resetFrames() override;
    void releaseFrames();

    // Page geometry and transparency (GUI thread).
    // True when the rectangle differs from the stored one (and is stored).
    bool setViewport(int x, int y, int width, int height);
    void setClearColor(const QColor& color);
    void setTransparent();
    void unsetTransparent();
    void uploadBlankTexture();

    // Shader programs (GUI thread, context current).
    void loadShaders();
    void unloadShaders();
    bool programYUV420pShaders();
    bool programYUV444pShaders();
    bool programNV12Shaders();
    bool programRGBpShader();
    bool programRGBShader();

    // The quick OpenGL test: times plane copies and asks whether the colour
    // format of the text can be drawn.
    bool testCopyPerformance(const QString& formatText);
    static void measureMemoryCopy();

    // Puts the hosted view (the window's browser) into the window's layout;
    // from now on the window reaches the view through the host interface.
    void hostView(CanvasHost* view);
    QWidget* hostedView() const { return webView; }
    QRect viewportRect() const { return QRect(viewport[0], viewport[1], viewport[2], viewport[3]); }
    // The work of loadFinished for a page address: numbers, registers and
    // titles a screen window.
    void handlePageLoaded(bool ok, const QUrl& url);

    // Read by tests and diagnostics.
    int widgetNumber() const { return widgetId; }
    bool isClosing() const { return closing; }
    bool isTransparent() const { return transparent; }
    bool isQuadsMode() const { return quadsMode; }
    int presented() const { return frames.presented(); }
    int updateRequests() const { return updateRequestCount; }
    qor::VideoFrame* frameInSlot(int slot) const { return frames.frameIn(slot); }
    int nextWriteSlot() const { return frames.nextWriteSlot(); }
    QSize lastFrameSize() const { return QSize(frames.width(), frames.height()); }
    const ShaderProgram& program(int colorFormat) const;
    // The renderers of this window's GL context; null before it exists.
    FrameRenderers* frameRenderers() const { return renderers.get(); }
    int textureAllocations() const { return planeTextures.allocations(); }

public slots:
    void cleanup();
    void loadFinished(bool ok);
    void scheduleUpdate();

protected:
    void closeEvent(QCloseEvent* event) override;
    void initializeGL() override;
    void paintGL() override;

private:
    ShaderProgram& recordOf(PixelFamily family);
    bool buildProgram(PixelFamily family);

    void render(FrameRenderer& renderer, const qor::VideoFrame& frame, std::uint64_t serial);
    void drawQuad();
    void drawTriangleFan();
    void createVertexBuffer();
    void clearBuffers();
    // Runs GL work outside paintGL with the widget's context current; does
    // nothing before the context exists.
    void withContext(const std::function<void()>& work);
    void clearStep();
    // The hosted view while it lives (a screen window's view deletes itself
    // when it closes), else null.
    CanvasHost* liveHost() const { return webView ? viewHost : nullptr; }
    std::string prefix() const { return canvasName() + ": "; }
    // Trace line of the stored viewport, under the current canvas name.
    void traceViewport() const;

    const int widgetId;
    mutable std::mutex labelLock;
    std::string canvasLabel;
    bool hasCanvasLabel = false;
    const bool mainWindow;
    int viewport[4] = {0, 0, 0, 0};
    // True once the page set a viewport (GUI thread).
    bool viewportSet = false;
    bool transparent = false;
    std::atomic<bool> closing{false};
    // Set once a page load registered the window for its screen (GUI thread).
    bool registered = false;
    // The hosted browser view; the web subsystem puts it here (hostView).
    QPointer<QWidget> webView;
    CanvasHost* viewHost = nullptr;

    FrameSlots frames{frameLocks};

    QColor clearColor = Qt::white;
    PlaneTextures planeTextures;
    // The frame (FrameSlots serial) whose planes the textures hold; 0 = none.
    std::uint64_t uploadedSerial = 0;
    bool quadsMode = false;
    GLuint vertexBuffer = 0;
    bool glReady = false;
    // True while GL work runs with the context current (init, paint, or
    // inside withContext).
    bool glCurrent = false;

    ShaderProgram nv12Program;
    ShaderProgram yuv420pProgram;
    ShaderProgram yuv444pProgram;
    ShaderProgram rgbpProgram;
    ShaderProgram rgbProgram;
    // Made with the GL context (initializeGL).
    std::unique_ptr<ShaderLoader> shaderLoader;
    std::unique_ptr<FrameRenderers> renderers;

    int updateRequestCount = 0;

    // Web view: saved and restored by the view around its full-screen mode.
    friend class ClientWebView;
    Qt::WindowFlags savedWindowFlags = Qt::WindowFlags(~0);
    QByteArray savedGeometry;

    QHBoxLayout* layout_ = nullptr;
    QTimer* repaintTimer = nullptr;
};

// The main window, set by main; the close handling compares against it.
extern ClientGLWidget* mainWidget;
// "WARNING: OpenGL support missing" when the user went on without OpenGL;
// it prefixes the titles of screen windows. Set by main before any window.
extern std::string windowTitleWarning;
// Tells the connection side that the user closed the window of a screen
// (ScreenClosed to the NativeClient thread). Set by main; empty = nobody.
extern std::function<void(int screen)> postScreenClosedHook;
// Web view: builds the browser of a new window (the window hosts it);
// set by the web side, empty = windows without a browser.
extern std::function<void(ClientGLWidget* window, bool mainWindow)> webViewFactory;

// Screen number of a screen page address: the decimal number after the
// first '=' (leading blanks, optional sign, digits up to the first other
// character). False when there is no '=', no digits or no 32-bit value.
bool parseScreenNumber(const std::string& url, int& screen);
