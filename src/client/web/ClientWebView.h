// The embedded browser of one client window. Every ClientGLWidget hosts one
// (the main window the ClientWebViewConnect subclass): it shows the server's
// or the broker's web client over the window's OpenGL picture, keeps the
// picture under the page's `canvas` element, mirrors the page's background
// into the window's clear colour, follows the remote screen's size, and
// runs the client's own full-screen and kiosk modes. GUI thread only.
//
// On this platform the view lives inside its canvas window (a child in the
// window's layout): "the view's window" and the canvas window are then one
// top-level window, and the window operations act on it once.
#pragma once

#include "CanvasHost.h"

#include <QByteArray>
#include <QMetaObject>
#include <QNetworkCookie>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineView>

#include <string>

class ClientGLWidget;
class ImageResizeTimer;
class QWebEngineCookieStore;
class QWebEngineProfile;

// The window geometry that sign-in and sign-out pages return to, saved once
// per process by the first view that asks.
struct InitialGeometry {
    Qt::WindowFlags viewWindowFlags;
    Qt::WindowFlags canvasWindowFlags;
    int width = 0;
    int height = 0;
    bool saved = false;
};
extern InitialGeometry initialGeometry;

class ClientWebView : public QWebEngineView, public CanvasHost {
    Q_OBJECT

public:
    ClientWebView(QWidget* parent, ClientGLWidget* canvas, int viewId);
    ~ClientWebView() override;

    // What the canvas window asks of its view.
    QWidget* hostWidget() override { return this; }
    QUrl pageUrl() const override;

    void loadPageUrl(QUrl address);
    std::string logName() const;

    // Page geometry.
    void detachCanvas() override;
    void startResizeTimer();
    void queryBackgroundColor();

    // Full screen, kiosk mode and window sizing.
    void enableFullScreen();
    void disableFullScreen();
    bool isFullScreen() const { return fullScreen; }
    void showFullScreenControls(bool showHint);
    void hideFullScreenControls();
    void setPageFullScreenState(bool on);
    void fitZoomToScreen();
    void setInitialScreenSize(bool useSaved);
    void resizeWindowTo(int width, int height);
    bool saveInitialGeometry();
    void updateWindowTitle(QUrl pageUrl);
    void setWindowsTitle(QString title) override;
    void setWindowsMinimumSize(int width, int height);
    void showWindows();

    // The page background that the canvas window makes transparent while it
    // draws frames.
    QColor pageBackgroundColor() const override;
    void setPageBackgroundColor(QColor colour) override;

    // Read by tests and diagnostics.
    ClientGLWidget* canvasWindow() const { return canvas; }
    bool isClosing() const { return closing; }
    bool isLoading() const { return loading; }
    QSize lastFrameSize() const { return QSize(lastFrameWidth, lastFrameHeight); }
    QSize contentSize() const { return QSize(contentWidth, contentHeight); }
    QWebEngineProfile* viewProfile() const { return profile; }

signals:
    void html(QString html);

public slots:
    void handleLoadStarted();
    void handleLoadFinished(bool success);
    void redrawWindow() override;
    void acceptFullScreen(QWebEngineFullScreenRequest request);
    void queryCanvasGeometry();
    void cleanup() override;
    void cookieAdded(QNetworkCookie cookie);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

    // Runs the script in the current page; the result goes to the handler
    // on the GUI thread unless the view is gone by then.
    void runScript(const QString& script, void (ClientWebView::*handler)(const QVariant&));
    void runScript(const QString& script);
    // The view's top-level window, and the canvas window when it is another.
    QWidget* viewWindow();
    QWidget* separateCanvasWindow();

    // Reset by the main window's view when it recognises a server page.
    int lastFrameWidth = 0;
    int lastFrameHeight = 0;
    int contentWidth = 0;
    int contentHeight = 0;

private:
    friend class ImageResizeTimer;

    void applyCanvasGeometry(const QVariant& result);
    void storeScrollSize(const QVariant& result);
    void autoresizeView(const QVariant& result);
    void applyScrollSize(const QVariant& result, int width, int height);
    void applyBackgroundColor(const QVariant& result);
    void onEnableTransparencyResult(const QVariant& result);
    bool handleImeKey(QObject* watched, QEvent* event, bool& consumed);
    QString composeUserAgent() const;

    QWebEngineProfile* profile = nullptr;
    bool fullScreenControlsEnabled = false;
    bool loading = false;
    bool fullScreen = false;
    QTimer redrawTimer;
    QWebEngineCookieStore* cookieStore = nullptr;
    QMetaObject::Connection cookieConnection;
    ImageResizeTimer* resizeTimer = nullptr;
    ClientGLWidget* canvas = nullptr;
    const int viewId;
    bool closing = false;
    Qt::WindowFlags savedWindowFlags = Qt::WindowFlags(~0);
    QByteArray savedGeometry;
};

// Lets every ClientGLWidget made from now on build its web view: the
// connect view for the main window, a plain view for screen windows.
void useClientWebViews();
